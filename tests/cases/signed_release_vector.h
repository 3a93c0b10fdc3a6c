#pragma once
// A folder signed once with aurevia-publish (tests/data/signed-release/server, valid for a century),
// for the tests of the launcher's verification: the publisher's key text, the manifest's exact bytes
// and its signature (r then s). The native test of the tool checks that these are the files.
#include <cstdint>
#include <string_view>

inline constexpr std::string_view kSignedReleasePublicKey =
    "ecdsa-p256:BB9MxLuo/ofxgPsrT4GWWlc71izSyh1zNwAy5lzgUjycWG2z0BZwqtGQKbhAZDRZ22Mf0+3ZlaGoR4eFF82X3UQ=";

inline constexpr std::string_view kSignedReleaseManifest =
    R"({"format":"aurevia-manifest/1","serial":1796912757,"expires":"2126-11-16T14:25:57Z","files":[{"name":"Admission.exe","size":16,"sha256":"ffb35e638137b1eca2c5fa845b4ad2380785ddbafd2cbf9496c2e081abfe1505"},{"name":"Relatorio\\RptScheduling.rav","size":7,"sha256":"331d26d6d8f862e46ba900811be8a7a1e4dbaa229b14c99becfd5e5151490d95"},{"name":"Vazio.txt","size":0,"sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}]})";

inline constexpr uint8_t kSignedReleaseSignature[64] = {
    0xc0, 0xcd, 0x74, 0x55, 0x3c, 0xb7, 0xa3, 0x4b, 0x16, 0xde, 0x08, 0xf6, 0x53, 0x8e, 0x95, 0x82,
    0x66, 0xf6, 0xc1, 0x88, 0x98, 0xe2, 0xb1, 0xca, 0x80, 0x9d, 0x2d, 0xe1, 0xde, 0x78, 0x76, 0x22,
    0x44, 0x8d, 0x85, 0x59, 0xe8, 0xb0, 0xc4, 0x4e, 0x88, 0xf0, 0x9b, 0x62, 0xa6, 0xbf, 0x4e, 0x54,
    0x0f, 0x24, 0xe3, 0x38, 0x53, 0xb2, 0x68, 0xa8, 0x59, 0x76, 0xaf, 0x95, 0x9c, 0x9a, 0x8f, 0xcd};
