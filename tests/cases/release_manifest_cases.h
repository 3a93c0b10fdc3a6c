#pragma once
// Release manifests the reader takes and those it refuses, shared by the native and the Windows test
// programs. A refused text is given with a piece of the message that says what is wrong with it.
#include <cstdint>
#include <string_view>

struct GoodManifestCase {
    std::string_view json;
    uint64_t serial;
    int64_t expiresUnix;
    size_t fileCount;
};

inline constexpr GoodManifestCase kGoodManifestCases[] = {
    {R"({"format":"aurevia-manifest/1","serial":1,"expires":"1970-01-01T00:00:00Z","files":[]})", 1, 0, 0},
    // Members in any order, blanks between tokens, members this reader does not know (of any shape).
    {R"( { "files" : [ { "sha256" : "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff",
           "size" : 0 , "name" : "Relatorio\\Rpt.rav" , "mode" : {"x":[1,{"y":null}]} } ],
         "note" : [[[]]], "expires" : "2024-02-29T23:59:59Z", "serial" : 18446744073709551615,
         "format" : "aurevia-manifest/1", "later" : true } )",
     18446744073709551615u, 1709251199, 1},
    {R"({"format":"aurevia-manifest/1","serial":0,"expires":"1601-01-01T00:00:01Z","files":[
          {"name":"Aurevia.EXE","size":18446744073709551615,"sha256":"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"},
          {"name":"Relat\u00f3rios\\Sa\u00edda ..x\\a.b.","size":1,"sha256":"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"}]})",
     0, -11644473599, 2},
    {R"({"format":"aurevia-manifest/1","serial":7,"expires":"9999-12-31T23:59:59Z","files":[]})", 7,
     253402300799, 0},
};

struct BadManifestCase {
    std::string_view json, message;
};

// A manifest with one file whose members are given: the frame of most refused cases below.
#define AUREVIA_MANIFEST_WITH_FILE(file) \
    R"({"format":"aurevia-manifest/1","serial":5,"expires":"2030-01-01T00:00:00Z","files":[)" file "]}"
#define AUREVIA_GOOD_HASH "\"sha256\":\"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\""
#define AUREVIA_FILE_NAMED(name) "{\"name\":\"" name "\",\"size\":1," AUREVIA_GOOD_HASH "}"
#define AUREVIA_MANIFEST_WITH_SERIAL(serial) \
    R"({"format":"aurevia-manifest/1","serial":)" serial R"(,"expires":"2030-01-01T00:00:00Z","files":[]})"
#define AUREVIA_MANIFEST_EXPIRING(expires) \
    R"({"format":"aurevia-manifest/1","serial":5,"expires":)" expires R"(,"files":[]})"

inline constexpr BadManifestCase kBadManifestCases[] = {
    // Not JSON, or not one JSON object.
    {"", "not JSON"},
    {"{", "not JSON"},
    {AUREVIA_MANIFEST_WITH_SERIAL("1") " x", "not JSON"},
    {AUREVIA_MANIFEST_WITH_SERIAL("1") "{}", "not JSON"},
    {"[]", "not a JSON object"},
    {"\"aurevia-manifest/1\"", "not a JSON object"},
    {"{\"format\":\"aurevia-manifest/1\",\"x\":\"\xC3\x28\"}", "not JSON"},  // invalid UTF-8
    // The format.
    {R"({"format":"aurevia-manifest/2","serial":1,"expires":"2030-01-01T00:00:00Z","files":[]})", "format"},
    {R"({"format":1,"serial":1,"expires":"2030-01-01T00:00:00Z","files":[]})", "format"},
    {R"({"serial":1,"expires":"2030-01-01T00:00:00Z","files":[]})", "lacks \"format\""},
    {R"({"format":"aurevia-manifest/1","serial":1,"format":"aurevia-manifest/1","expires":"2030-01-01T00:00:00Z","files":[]})",
     "\"format\" is given twice"},
    // The serial: an unsigned integer read from its digits.
    {AUREVIA_MANIFEST_WITH_SERIAL("-1"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("-0"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("1.0"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("1e3"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("18446744073709551616"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("99999999999999999999999"), "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_SERIAL("\"5\""), "\"serial\""},
    {AUREVIA_MANIFEST_WITH_SERIAL("null"), "\"serial\""},
    {AUREVIA_MANIFEST_WITH_SERIAL("[5]"), "\"serial\""},
    {R"({"format":"aurevia-manifest/1","expires":"2030-01-01T00:00:00Z","files":[]})", "lacks \"serial\""},
    // The expiry: one form, in UTC.
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01T00:00:00\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01T00:00:00+01:00\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01T00:00:00.000Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01 00:00:00Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"20300101T000000Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-02-29T00:00:00Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01T24:00:00Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"2030-01-01T23:59:60Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("\"0000-01-01T00:00:00Z\""), "expires"},
    // Only what a Windows file time holds, whatever the signature says.
    {AUREVIA_MANIFEST_EXPIRING("\"0001-01-01T00:00:00Z\""), "lies outside 1601"},
    {AUREVIA_MANIFEST_EXPIRING("\"1500-06-01T00:00:00Z\""), "lies outside 1601"},
    {AUREVIA_MANIFEST_EXPIRING("\"1601-01-01T00:00:00Z\""), "lies outside 1601"},
    {AUREVIA_MANIFEST_EXPIRING("\"+030-01-01T00:00:00Z\""), "expires"},
    {AUREVIA_MANIFEST_EXPIRING("1893456000"), "\"expires\""},
    // The list of files.
    {R"({"format":"aurevia-manifest/1","serial":1,"expires":"2030-01-01T00:00:00Z"})", "lacks \"files\""},
    {R"({"format":"aurevia-manifest/1","serial":1,"expires":"2030-01-01T00:00:00Z","files":{}})",
     "\"files\""},
    {R"({"format":"aurevia-manifest/1","serial":1,"expires":"2030-01-01T00:00:00Z","files":"a"})",
     "\"files\""},
    {AUREVIA_MANIFEST_WITH_FILE("\"a\""), "not an object"},
    {AUREVIA_MANIFEST_WITH_FILE("[]"), "not an object"},
    {AUREVIA_MANIFEST_WITH_FILE("null"), "not an object"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"size\":1," AUREVIA_GOOD_HASH "}"), "lacks \"name\""},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\"," AUREVIA_GOOD_HASH "}"), "lacks \"size\""},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1}"), "lacks \"sha256\""},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"name\":\"b\",\"size\":1," AUREVIA_GOOD_HASH "}"),
     "\"name\" is given twice"},
    // Sizes and hashes.
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":-1," AUREVIA_GOOD_HASH "}"),
     "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1.5," AUREVIA_GOOD_HASH "}"),
     "not an unsigned integer"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":\"1\"," AUREVIA_GOOD_HASH "}"), "\"size\""},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1,\"sha256\":\"0011\"}"), "64 hex digits"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1,\"sha256\":"
                                "\"00112233445566778899aabbccddeeff00112233445566778899aabbccddeefg\"}"),
     "64 hex digits"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1,\"sha256\":"
                                "\"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff00\"}"),
     "64 hex digits"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":\"a\",\"size\":1,\"sha256\":1}"), "\"sha256\""},
    // Names that would leave the folder, name something else, or could not be a Windows name.
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("")), "empty"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("\\\\a.exe")), "rooted"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("\\\\\\\\srv\\\\x\\\\a.exe")), "rooted"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("C:\\\\a.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("C:a.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("a.exe:stream")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("..\\\\a.exe")), "\"..\""},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x\\\\..\\\\..\\\\a.exe")), "\"..\""},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x\\\\.\\\\a.exe")), "\".\""},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x\\\\..")), "\"..\""},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x/../a.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x\\\\\\\\a.exe")), "empty level"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("x\\\\")), "empty level"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("a\\u0000.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("a\\t.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("a?.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE(AUREVIA_FILE_NAMED("a*.exe")), "character"},
    {AUREVIA_MANIFEST_WITH_FILE("{\"name\":1,\"size\":1," AUREVIA_GOOD_HASH "}"), "\"name\""},
    {AUREVIA_MANIFEST_WITH_FILE(
         AUREVIA_FILE_NAMED("Sub\\\\Aurevia.exe") "," AUREVIA_FILE_NAMED("sub\\\\AUREVIA.EXE")),
     "listed twice"},
    // The signer a root-era manifest names: a key id, a product, each once.
    {"{\"format\":\"aurevia-manifest/1\",\"key\":\"AB\",\"serial\":1,\"expires\":\"2027-01-01T00:00:00Z\","
     "\"files\":[]}",
     "not a key id"},
    {"{\"format\":\"aurevia-manifest/1\",\"product\":\"a\",\"product\":\"b\",\"serial\":1,"
     "\"expires\":\"2027-01-01T00:00:00Z\",\"files\":[]}",
     "given twice"},
    {"{\"format\":\"aurevia-manifest/1\",\"product\":3,\"serial\":1,\"expires\":\"2027-01-01T00:00:00Z\","
     "\"files\":[]}",
     "\"product\""},
};

#undef AUREVIA_MANIFEST_WITH_FILE
#undef AUREVIA_GOOD_HASH
#undef AUREVIA_FILE_NAMED
#undef AUREVIA_MANIFEST_WITH_SERIAL
#undef AUREVIA_MANIFEST_EXPIRING

struct BadKeyCase {
    std::string_view text, message;
};

inline constexpr BadKeyCase kBadPublisherKeyCases[] = {
    {"", "not an ECDSA P-256 key"},
    {"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIGb6", "not an ECDSA P-256 key"},
    {"ecdsa-p384:BAAA", "not an ECDSA P-256 key"},
    {"ECDSA-P256:BAAA", "not an ECDSA P-256 key"},
    {"-----BEGIN PUBLIC KEY-----", "not an ECDSA P-256 key"},
    {"ecdsa-p256:", "not an uncompressed P-256 point"},
    {"ecdsa-p256:BAAA!", "not valid base64"},
    {"ecdsa-p256:BA==BA==", "not valid base64"},
    {"ecdsa-p256:BB==", "not valid base64"},  // bits past the byte are not zero
    {"ecdsa-p256:BAAAAA==", "not an uncompressed P-256 point"},
};
