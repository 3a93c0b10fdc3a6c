#include <gtest/gtest.h>

#include "base/error.h"
#include "dialogs/dialog_text.h"

namespace {

TEST(FormatDialogText, FillsStringPlaceholdersInOrder) {
    EXPECT_EQ(FormatDialogText(L"Módulo não instalado.\r\n%s", {L"C:\\Aurevia\\Faturamento.exe"}),
              L"Módulo não instalado.\r\nC:\\Aurevia\\Faturamento.exe");
    EXPECT_EQ(FormatDialogText(L"%s e %s: 100%%", {L"a", L"b"}), L"a e b: 100%");
    // An argument holding "%s" is text, not another placeholder.
    EXPECT_EQ(FormatDialogText(L"[%s]", {L"%s"}), L"[%s]");
    EXPECT_EQ(FormatDialogText(L"sem marcas", {L"sobra"}), L"sem marcas");
}

TEST(FormatDialogText, RejectsPlaceholdersItCannotFill) {
    for (const wchar_t* format : {L"%s %s", L"%d", L"fim %"}) {
        EXPECT_THROW(FormatDialogText(format, {L"um"}), Error) << format;
    }
}

TEST(DialogText, LineBreaksBecomeCrLf) {
    EXPECT_EQ(WithCrLfLineBreaks(L"a\nb\rc\r\nd\n\n"), L"a\r\nb\r\nc\r\nd\r\n\r\n");
    EXPECT_EQ(WithCrLfLineBreaks(L""), L"");
}

TEST(DialogText, AccessKeys) {
    EXPECT_EQ(AccessKeyOf(L"&Sim"), L'S');
    EXPECT_EQ(AccessKeyOf(L"&tentar"), L'T');
    EXPECT_EQ(AccessKeyOf(L"Todos"), 0);
    EXPECT_EQ(AccessKeyOf(L"A && &B"), L'B');
    EXPECT_EQ(WithoutAccessKeyMarks(L"&Não"), L"Não");
    EXPECT_EQ(WithoutAccessKeyMarks(L"A && B"), L"A & B");
}

TEST(DialogText, ClipboardTextOfANotice) {
    const std::wstring d = std::wstring(27, L'-') + L"\r\n";
    EXPECT_EQ(DialogClipboardText(L"Aurevia", L"Aplicação atualizada com sucesso!", {L"&OK"}),
              d + L"Aurevia\r\n" + d + L"Aplicação atualizada com sucesso!\r\n" + d + L"OK   \r\n" + d);
    EXPECT_EQ(DialogClipboardText(L"Confirmação", L"a\r\nb", {L"&Sim", L"&Não"}),
              d + L"Confirmação\r\n" + d + L"a\r\nb\r\n" + d + L"Sim   Não   \r\n" + d);
}

}  // namespace
