#!/usr/bin/env python3
"""The shipped Group Policy templates pass policy_templates.py's checks, and each check catches the
fault it is for: a copy of the templates (or of the launcher's source) with one fault is refused,
naming it.

    policy_templates_test.py CHECKOUT
"""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import policy_templates  # noqa: E402

ROOT = None

# (what is wrong, file under deploy/policy/, text replaced, its replacement, the problem expected)
TEMPLATE_FAULTS = [
    ("a string missing in one language", "pt-BR/aurevia.adml",
     '<string id="Seguranca_Raiz_Help">', '<string id="Seguranca_Raiz_Ajuda">',
     "pt-BR: string Seguranca_Raiz_Help is referenced but not defined"),
    ("a presentation missing", "en-US/aurevia.adml",
     '<presentation id="Limites_ListaMB">', '<presentation id="Limites_Lista">',
     "en-US: presentation Limites_ListaMB is referenced but not defined"),
    ("a control naming no element", "en-US/aurevia.adml",
     '<textBox refId="Raiz">', '<textBox refId="Raizes">',
     "'Raizes' is no element of Seguranca_Raiz"),
    ("a control of the wrong kind", "en-US/aurevia.adml",
     '<decimalTextBox refId="ListaMB" defaultValue="64">Megabytes:</decimalTextBox>',
     '<textBox refId="ListaMB"><label>Megabytes:</label></textBox>',
     "textBox 'ListaMB' cannot set a decimal element"),
    ("an element without a control", "pt-BR/aurevia.adml",
     '<textBox refId="Anel">\n          <label>Anel:</label>\n          <defaultValue>geral</defaultValue>\n        </textBox>',
     "", "pt-BR: presentation Seguranca_Anel: no control for element Anel"),
    ("a policy in a category that does not exist", "aurevia.admx",
     '<parentCategory ref="Frota" />\n      <supportedOn', '<parentCategory ref="Frotas" />\n      <supportedOn',
     "policy Frota_Url: its category ['Frotas'] does not exist"),
    ("a category under one that does not exist", "aurevia.admx",
     '<category name="Limites" displayName="$(string.Limites)">\n      <parentCategory ref="Aurevia" />',
     '<category name="Limites" displayName="$(string.Limites)">\n      <parentCategory ref="Produto" />',
     "category Limites: parent 'Produto' does not exist"),
    ("a supportedOn that is not defined", "aurevia.admx",
     '<supportedOn ref="SUPPORTED_AureviaMachinePolicy" />\n      <elements>\n        <text id="Anel"',
     '<supportedOn ref="windows:SUPPORTED_Windows7" />\n      <elements>\n        <text id="Anel"',
     "policy Seguranca_Anel: supportedOn 'windows:SUPPORTED_Windows7' does not exist"),
    ("a policy outside Aurevia's key", "aurevia.admx",
     'key="Software\\Policies\\Aurevia\\Frota"', 'key="Software\\Policies\\Frota"',
     "value 'url': key Software\\Policies\\Frota is not"),
    ("a user policy", "aurevia.admx",
     '<policy name="Servidor_Url" class="Machine"', '<policy name="Servidor_Url" class="User"',
     "policy Servidor_Url: class 'User', not Machine"),
    ("a template that is not well-formed", "pt-BR/aurevia.adml",
     "</presentationTable>", "", "not well-formed"),
]

NEW_READ = """#include "launcher/settings/configuration.h"
std::wstring ReadPort(const std::wstring& AIniFileName) {
    return ReadIniString(AIniFileName, kServerSection, L"Porta", L"");
}
"""
WRAPPED_READ = """#include "launcher/settings/configuration.h"
// Reads through a helper of its own: the key is still the INI's.
static std::wstring ReadSetting(const std::wstring& AFile, const wchar_t* ASection, const wchar_t* AKey) {
    return ReadIniString(AFile, ASection, AKey, L"");
}
std::wstring ReadInterval(const std::wstring& AIniFileName) { return ReadSetting(AIniFileName, kFleetSection, L"Intervalo"); }
"""
UNSEEN_READ = """#include "launcher/settings/configuration.h"
struct TSetting { const wchar_t* Section; const wchar_t* Key; };
std::wstring ReadFirst(const std::wstring& AIniFileName, const TSetting* ASettings) {
    return ReadIniString(AIniFileName, ASettings[0].Section, ASettings[0].Key, L"");
}
"""

# (what changed, file under the checkout, text replaced or None to write the file, the new text,
#  the problems expected)
SOURCE_FAULTS = [
    ("a new INI key without a policy", "launcher/settings/port.cpp", None, NEW_READ,
     ["Aurevia.ini [Servidor] Porta has no policy"]),
    ("a new INI key read through a helper", "launcher/settings/interval.cpp", None, WRAPPED_READ,
     ["Aurevia.ini [Frota] Intervalo has no policy"]),
    ("a read whose key cannot be told", "launcher/settings/first.cpp", None, UNSEEN_READ,
     ["launcher/settings/first.cpp:4: ReadIniString reads the INI with 'ASettings[0].Section'"]),
    ("a key renamed in the launcher", "launcher/settings/configuration.cpp",
     'read(kLimitsSection, L"Prazo Segundos")', 'read(kLimitsSection, L"Prazo")',
     ["Aurevia.ini [Limites] Prazo has no policy",
      "the policy value Limites\\Prazo Segundos is no INI key the launcher reads"]),
    ("a policy dropped from the template", "deploy/policy/aurevia.admx",
     '<text id="Url" valueName="url" required="true" maxLength="2047" />\n      </elements>\n    </policy>\n    <policy name="Limites_ListaMB"',
     '</elements>\n    </policy>\n    <policy name="Limites_ListaMB"',
     ["Aurevia.ini [Frota] url has no policy"]),
]


def replace_in(path, old, new):
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    if old not in text:
        raise AssertionError(f"the fixture's text is not in {path}: {old!r}")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text.replace(old, new, 1))


class PolicyTemplatesTest(unittest.TestCase):
    def test_shipped_templates_cover_exactly_the_keys_the_launcher_reads(self):
        problems, read = policy_templates.check(ROOT)
        self.assertEqual(problems, [])
        # The search still sees each way the launcher reads its INI today (constants, a lambda).
        for pair in [("Servidor", "Local Exe"), ("Seguranca", "Chave Publica"), ("Limites", "Prazo Segundos")]:
            self.assertIn(pair, read)

    def test_each_template_fault_is_named(self):
        for label, name, old, new, expected in TEMPLATE_FAULTS:
            with self.subTest(label), tempfile.TemporaryDirectory() as folder:
                shutil.copytree(os.path.join(ROOT, "deploy", "policy"), folder, dirs_exist_ok=True)
                replace_in(os.path.join(folder, name), old, new)
                problems, _ = policy_templates.check_templates(folder)
                self.assertTrue(any(expected in p for p in problems), f"{expected!r} not in {problems}")

    def test_each_source_fault_is_named(self):
        for label, name, old, new, expected in SOURCE_FAULTS:
            with self.subTest(label), tempfile.TemporaryDirectory() as root:
                for folder in (*policy_templates.SOURCE_FOLDERS, "deploy/policy"):
                    shutil.copytree(os.path.join(ROOT, folder), os.path.join(root, folder))
                path = os.path.join(root, name)
                if old is None:
                    with open(path, "w", encoding="utf-8") as handle:
                        handle.write(new)
                else:
                    replace_in(path, old, new)
                problems, _ = policy_templates.check(root)
                for problem in expected:
                    self.assertTrue(any(problem in p for p in problems), f"{problem!r} not in {problems}")


if __name__ == "__main__":
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
