#!/usr/bin/env python3
"""Checks the Group Policy templates against themselves and against the launcher's source.

    policy_templates.py CHECKOUT

- aurevia.admx and every <language>/aurevia.adml are well-formed (xmllint);
- everything a template refers to exists: $(string.X) and $(presentation.X) in every language, the
  categories and supportedOn definitions of the ADMX, the elements that a presentation's controls
  name, with a control of the element's kind; every element has a control; every language has the
  same strings and presentations;
- the values the policies set (HKLM\\Software\\Policies\\Aurevia\\<Section>, value named as the
  INI key) are exactly the Aurevia.ini keys that the launcher's source reads, plus the root anchor.

Keys are found in the source by following ReadIniString and GetPrivateProfile*W calls through the
functions and lambdas that pass their section and key on: a call whose section or key is neither a
literal, a constant nor such a parameter is reported, so that a new way of reading the INI cannot
hide a key from this check.
"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
POLICY_ROOT = "Software\\Policies\\Aurevia\\"
# Read by the launcher once it follows a root of trust; the template ships with it beforehand.
ANCHOR_KEYS = {("Seguranca", "Raiz")}
SOURCE_FOLDERS = ("launcher", "update", "base", "dialogs", "tasks")
LANGUAGES = ("en-US", "pt-BR")
# The kind of presentation control that sets each kind of element.
CONTROL_FOR_ELEMENT = {
    "text": "textBox",
    "decimal": "decimalTextBox",
    "longDecimal": "longDecimalTextBox",
    "boolean": "checkBox",
    "enum": "dropdownList",
    "list": "listBox",
    "multiText": "multiTextBox",
}
# section and key: the argument index that carries each in the INI functions of Windows and ours.
BASE_READERS = {
    "ReadIniString": (("arg", 1), ("arg", 2)),
    "GetPrivateProfileStringW": (("arg", 0), ("arg", 1)),
    "GetPrivateProfileIntW": (("arg", 0), ("arg", 1)),
}


# ---- templates ---------------------------------------------------------------------------------


def well_formed(path):
    result = subprocess.run(["xmllint", "--noout", path], capture_output=True, text=True)
    return [] if result.returncode == 0 else [f"{path}: not well-formed: {result.stderr.strip()}"]


def references(text, kind):
    found = re.fullmatch(r"\$\(" + kind + r"\.([^)]+)\)", text or "")
    return found.group(1) if found else None


def local_ref(ref):
    # "aurevia:Servidor" and "Servidor" name the same category of this file.
    return ref.split(":", 1)[1] if ref.startswith("aurevia:") else ref


def check_templates(folder):
    """Problems found in FOLDER's aurevia.admx and its languages; and the (section, value) pairs it sets."""
    admx_path = os.path.join(folder, "aurevia.admx")
    adml_paths = {lang: os.path.join(folder, lang, "aurevia.adml") for lang in LANGUAGES}
    problems = []
    for path in [admx_path, *adml_paths.values()]:
        if not os.path.exists(path):
            problems.append(f"{path}: missing")
            continue
        problems += well_formed(path)
    if problems:
        return problems, set()

    admx = ET.parse(admx_path).getroot()
    strings_used, presentations_used = set(), {}
    categories = {c.get("name") for c in admx.iter(NS + "category")}
    supported = {d.get("name") for d in admx.iter(NS + "definition")}

    def note_string(owner, attribute, value, required=True):
        name = references(value, "string")
        if name:
            strings_used.add(name)
        elif required or value:
            problems.append(f"{owner}: {attribute} {value!r} is not a $(string.…) reference")

    for definition in admx.iter(NS + "definition"):
        note_string(f"supportedOn {definition.get('name')}", "displayName", definition.get("displayName"))
    for category in admx.iter(NS + "category"):
        note_string(f"category {category.get('name')}", "displayName", category.get("displayName"))
        for parent in category.iter(NS + "parentCategory"):
            if local_ref(parent.get("ref", "")) not in categories:
                problems.append(f"category {category.get('name')}: parent {parent.get('ref')!r} does not exist")

    values = set()
    policy_names = set()
    for policy in admx.iter(NS + "policy"):
        name = policy.get("name")
        if name in policy_names:
            problems.append(f"policy {name}: defined twice")
        policy_names.add(name)
        note_string(f"policy {name}", "displayName", policy.get("displayName"))
        note_string(f"policy {name}", "explainText", policy.get("explainText"))
        parents = policy.findall(NS + "parentCategory")
        if len(parents) != 1 or local_ref(parents[0].get("ref", "")) not in categories:
            problems.append(f"policy {name}: its category {[p.get('ref') for p in parents]} does not exist")
        for support in policy.findall(NS + "supportedOn"):
            if local_ref(support.get("ref", "")) not in supported:
                problems.append(f"policy {name}: supportedOn {support.get('ref')!r} does not exist")
        elements = {}
        elements_node = policy.find(NS + "elements")
        for element in list(elements_node) if elements_node is not None else []:
            kind = element.tag[len(NS):]
            element_id = element.get("id")
            if element_id in elements:
                problems.append(f"policy {name}: element {element_id} defined twice")
            elements[element_id] = kind
            key = element.get("key", policy.get("key", ""))
            values.add((key, element.get("valueName")))
        if policy.get("valueName"):
            values.add((policy.get("key", ""), policy.get("valueName")))
        if policy.get("class") != "Machine":
            problems.append(f"policy {name}: class {policy.get('class')!r}, not Machine (HKLM)")
        presentation = references(policy.get("presentation"), "presentation")
        if elements and not presentation:
            problems.append(f"policy {name}: elements without a presentation")
        if presentation:
            presentations_used[presentation] = (name, elements)

    adml_strings = {}
    for lang, path in adml_paths.items():
        adml = ET.parse(path).getroot()
        strings = [s.get("id") for s in adml.iter(NS + "string")]
        adml_strings[lang] = set(strings)
        for duplicate in sorted({s for s in strings if strings.count(s) > 1}):
            problems.append(f"{lang}: string {duplicate} defined twice")
        for missing in sorted(strings_used - set(strings)):
            problems.append(f"{lang}: string {missing} is referenced but not defined")
        presentations = {p.get("id"): p for p in adml.iter(NS + "presentation")}
        for missing in sorted(set(presentations_used) - set(presentations)):
            problems.append(f"{lang}: presentation {missing} is referenced but not defined")
        for presentation_id, (policy_name, elements) in presentations_used.items():
            presentation = presentations.get(presentation_id)
            if presentation is None:
                continue
            controlled = set()
            for control in presentation:
                ref = control.get("refId")
                if ref is None:
                    continue  # a text line
                kind = control.tag[len(NS):]
                if ref not in elements:
                    problems.append(f"{lang}: presentation {presentation_id}: {kind} {ref!r} is no element of {policy_name}")
                elif CONTROL_FOR_ELEMENT.get(elements[ref]) != kind:
                    problems.append(f"{lang}: presentation {presentation_id}: {kind} {ref!r} cannot set a {elements[ref]} element")
                controlled.add(ref)
            for uncontrolled in sorted(set(elements) - controlled):
                problems.append(f"{lang}: presentation {presentation_id}: no control for element {uncontrolled}")
    first, *others = LANGUAGES
    for lang in others:
        if adml_strings[lang] != adml_strings[first]:
            problems.append(f"{lang}: strings differ from {first}'s: {sorted(adml_strings[lang] ^ adml_strings[first])}")

    pairs = set()
    for key, value_name in values:
        if not key.startswith(POLICY_ROOT) or "\\" in key[len(POLICY_ROOT):]:
            problems.append(f"value {value_name!r}: key {key} is not {POLICY_ROOT}<Section>")
            continue
        pairs.add((key[len(POLICY_ROOT):], value_name))
    return problems, pairs


# ---- the INI keys the launcher reads -----------------------------------------------------------


def without_comments(text):
    # Comments out, string literals kept (a "//" inside a URL literal is not a comment).
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|(L?"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\')', re.S)
    return pattern.sub(lambda m: m.group(1) if m.group(1) else " " * len(m.group(0)), text)


def closing(text, start, open_char, close_char):
    """Index of the character that closes the one at START, skipping literals."""
    depth, i = 0, start
    while i < len(text):
        c = text[i]
        if c == '"' or c == "'":
            i += 1
            while i < len(text) and text[i] != c:
                i += 2 if text[i] == "\\" else 1
        elif c == open_char:
            depth += 1
        elif c == close_char:
            depth -= 1
            if depth == 0:
                return i
        i += 1
    return len(text)


def split_arguments(text):
    parts, depth, current, i = [], 0, "", 0
    while i < len(text):
        c = text[i]
        if c == '"':
            end = i + 1
            while end < len(text) and text[end] != '"':
                end += 2 if text[end] == "\\" else 1
            current += text[i : end + 1]
            i = end + 1
            continue
        if c in "([{<":
            depth += 1
        elif c in ")]}>":
            depth -= 1
        if c == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += c
        i += 1
    if current.strip():
        parts.append(current.strip())
    return parts


def parameter_names(declaration):
    names = []
    for parameter in split_arguments(declaration):
        parameter = parameter.split("=", 1)[0].strip()
        found = re.search(r"(\w+)\s*(?:\[\s*\])?$", parameter)
        typed = any(c in parameter.strip() for c in " *&")
        names.append(found.group(1) if found and typed else None)
    return names


NOT_FUNCTIONS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "decltype"}


def definitions(text):
    """(name, parameter names, body start, body end, is_lambda) of each function and named lambda."""
    found = []
    for match in re.finditer(r"\b(\w+)\s*=\s*\[[^\]]*\]\s*\(", text):
        params_end = closing(text, match.end() - 1, "(", ")")
        body = re.match(r"[^;{]*\{", text[params_end + 1 :])
        if body:
            start = params_end + 1 + body.end() - 1
            found.append((match.group(1), parameter_names(text[match.end() : params_end]), start,
                          closing(text, start, "{", "}"), True))
    for match in re.finditer(r"\b(\w+)\s*\(", text):
        if match.group(1) in NOT_FUNCTIONS:
            continue
        params_end = closing(text, match.end() - 1, "(", ")")
        body = re.match(r"\s*(?:const\s*)?(?:noexcept\s*)?(?:->\s*[\w:<>]+\s*)?\{", text[params_end + 1 :])
        if body:
            start = params_end + 1 + body.end() - 1
            found.append((match.group(1), parameter_names(text[match.end() : params_end]), start,
                          closing(text, start, "{", "}"), False))
    return found


def wide_literal(text):
    found = re.fullmatch(r'L"((?:[^"\\]|\\.)*)"', text.strip())
    return found.group(1) if found else None


def is_declaration(argument):
    # "const wchar_t* ASection" in a prototype or a definition, not a value passed.
    return re.fullmatch(r"(?:const\s+)?[\w:<>]+(?:\s*[*&]+\s*|\s+)(?:const\s+)?\w+", argument.strip()) is not None


def ini_keys_read(root):
    """(the (section, key) pairs read, problems) over the launcher's source under ROOT."""
    files = {}
    for folder in SOURCE_FOLDERS:
        for base, _, names in os.walk(os.path.join(root, folder)):
            for name in names:
                if name.endswith((".cpp", ".h")):
                    path = os.path.join(base, name)
                    with open(path, encoding="utf-8", errors="replace") as handle:
                        files[os.path.relpath(path, root)] = without_comments(handle.read())
    constants = {}
    for text in files.values():
        for match in re.finditer(r"\b(\w+)\s*(?:\[\s*\])?\s*=\s*(L\"(?:[^\"\\]|\\.)*\")\s*;", text):
            constants[match.group(1)] = wide_literal(match.group(2))
    parsed = {path: definitions(text) for path, text in files.items()}

    global_readers = dict(BASE_READERS)
    local_readers = {path: {} for path in files}
    pairs, problems = set(), []
    changed = True
    while changed:
        changed = False
        pairs, problems = set(), []
        for path, text in files.items():
            readers = {**global_readers, **local_readers[path]}
            pattern = re.compile(r"\b(" + "|".join(map(re.escape, readers)) + r")\s*\(")
            for match in pattern.finditer(text):
                name = match.group(1)
                args_end = closing(text, match.end() - 1, "(", ")")
                arguments = split_arguments(text[match.end() : args_end])
                if any(is_declaration(a) for a in arguments):
                    continue
                line = text.count("\n", 0, match.start()) + 1
                enclosing = [d for d in parsed[path] if d[2] < match.start() < d[3]]
                enclosing = max(enclosing, key=lambda d: d[2]) if enclosing else None
                resolved, forwarded = [], []
                for place in readers[name]:
                    if place[0] == "fixed":
                        resolved.append(place[1])
                        continue
                    argument = arguments[place[1]] if place[1] < len(arguments) else ""
                    literal = wide_literal(argument)
                    if literal is not None:
                        resolved.append(literal)
                    elif argument in constants:
                        resolved.append(constants[argument])
                    elif enclosing and argument in enclosing[1]:
                        resolved.append(None)
                        forwarded.append(enclosing[1].index(argument))
                    else:
                        problems.append(f"{path}:{line}: {name} reads the INI with {argument!r}, which names no literal, constant or parameter")
                        resolved.append(None)
                if None not in resolved:
                    pairs.add(tuple(resolved))
                    continue
                if not forwarded or enclosing is None or enclosing[0] in BASE_READERS:
                    continue
                # The enclosing function passes its own parameters on: it reads the INI too.
                places = []
                for place, value in zip(readers[name], resolved):
                    if value is not None:
                        places.append(("fixed", value))
                    else:
                        argument = arguments[place[1]]
                        places.append(("arg", enclosing[1].index(argument)))
                table = local_readers[path] if enclosing[4] else global_readers
                if table.get(enclosing[0]) != tuple(places):
                    table[enclosing[0]] = tuple(places)
                    changed = True
    return pairs, problems


def check(root):
    problems, policy_values = check_templates(os.path.join(root, "deploy", "policy"))
    read, source_problems = ini_keys_read(root)
    problems += source_problems
    if not read:
        problems.append("no INI key found in the launcher's source: the search no longer sees how it reads Aurevia.ini")
    expected = read | ANCHOR_KEYS
    for section, key in sorted(expected - policy_values):
        problems.append(f"Aurevia.ini [{section}] {key} has no policy")
    for section, key in sorted(policy_values - expected):
        problems.append(f"the policy value {section}\\{key} is no INI key the launcher reads")
    return problems, sorted(read)


def main():
    if len(sys.argv) != 2:
        print("usage: policy_templates.py CHECKOUT", file=sys.stderr)
        return 2
    problems, read = check(sys.argv[1])
    for section, key in read:
        print(f"read: [{section}] {key}")
    for problem in problems:
        print(f"FAIL: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
