"""The Group Policy templates against the client: the ADMX and both ADML
files are well-formed, every policy names the key and a value the client
reads from it, every value the client reads there has a policy of the
matching type, and every text the ADMX names is in both languages.

    python3 tests/win32/policy_test.py
"""

import os
import re
import unittest
import xml.etree.ElementTree as ET

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
POLICY_DIR = os.path.join(ROOT, "installer", "policy")
READER = os.path.join(ROOT, "src", "win32", "app", "settings_registry.cpp")
KEYS = os.path.join(ROOT, "src", "core", "app", "settings.h")
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
LANGUAGES = ("en-US", "de-DE")
# How the client takes each value: a number (REG_DWORD) or a text (REG_SZ).
NUMBERS = {"Port", "Reconnect", "TrayStatus"}


def client_reads():
    """The policy key and the value names the Windows client reads from it:
    every name of the core's list of setting keys, which the registry
    reader walks."""
    source = open(READER, encoding="utf-8").read()
    key = re.search(r'HKEY_LOCAL_MACHINE,\s*"([^"]+)"', source).group(1).replace("\\\\", "\\")
    assert re.search(r"for \(const char\* \w+ : velmora::kSettingKeys\)", source), "the reader walks kSettingKeys"
    keys = open(KEYS, encoding="utf-8").read()
    constants = dict(re.findall(r'constexpr char (kKey\w+)\[\] = "([^"]+)";', keys))
    listed = re.search(r"kSettingKeys\[\]\s*=\s*\{([^}]*)\}", keys).group(1)
    return key, {constants[name] for name in re.findall(r"kKey\w+", listed)}


def admx_values(admx):
    """(key, value name, kind) of every value a policy writes."""
    values = []
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        key = policy.get("key")
        if policy.get("valueName"):
            kinds = {child.tag.split("}")[1] for child in policy.iterfind("p:enabledValue/*", NS)}
            values.append((key, policy.get("valueName"), kinds.pop() if len(kinds) == 1 else None))
        for element in policy.iterfind("p:elements/*", NS):
            values.append((element.get("key", key), element.get("valueName"), element.tag.split("}")[1]))
    return values


class Templates(unittest.TestCase):
    def setUp(self):
        # Parsing is the well-formedness check.
        self.admx = ET.parse(os.path.join(POLICY_DIR, "velmora-client.admx")).getroot()
        self.adml = {lang: ET.parse(os.path.join(POLICY_DIR, lang, "velmora-client.adml")).getroot()
                     for lang in LANGUAGES}

    def test_policies_and_the_values_the_client_reads_match_both_ways(self):
        key, reads = client_reads()
        values = admx_values(self.admx)
        self.assertEqual({k for k, _, _ in values}, {key})
        written = [name for _, name, _ in values]
        self.assertEqual(len(written), len(set(written)), "a value written by two policies")
        self.assertEqual(set(written), reads)
        for _, name, kind in values:
            self.assertEqual(kind, "decimal" if name in NUMBERS else "text", name)
        for policy in self.admx.iterfind(".//p:policies/p:policy", NS):
            self.assertEqual(policy.get("class"), "Machine", policy.get("name"))

    def test_every_text_and_presentation_is_in_both_languages(self):
        source = ET.tostring(self.admx, encoding="unicode")
        strings = set(re.findall(r"\$\(string\.([^)]+)\)", source))
        presentations = set(re.findall(r"\$\(presentation\.([^)]+)\)", source))
        element_ids = {policy.get("presentation")[len("$(presentation."):-1]:
                       {e.get("id") for e in policy.iterfind("p:elements/*", NS)}
                       for policy in self.admx.iterfind(".//p:policies/p:policy", NS) if policy.get("presentation")}
        for lang, adml in self.adml.items():
            table = {s.get("id"): s.text for s in adml.iterfind(".//p:stringTable/p:string", NS)}
            self.assertEqual(set(table), strings, lang)
            self.assertTrue(all(text and text.strip() for text in table.values()), lang)
            shown = {p.get("id"): {c.get("refId") for c in p} for p in adml.iterfind(".//p:presentation", NS)}
            self.assertEqual(set(shown), presentations, lang)
            for name, ids in element_ids.items():
                self.assertEqual(shown[name], ids, (lang, name))

    def test_categories_and_support_are_defined(self):
        categories = {c.get("name") for c in self.admx.iterfind(".//p:categories/p:category", NS)}
        supported = {d.get("name") for d in self.admx.iterfind(".//p:supportedOn/p:definitions/p:definition", NS)}
        for policy in self.admx.iterfind(".//p:policies/p:policy", NS):
            self.assertIn(policy.find("p:parentCategory", NS).get("ref"), categories)
            self.assertIn(policy.find("p:supportedOn", NS).get("ref"), supported)


if __name__ == "__main__":
    unittest.main()
