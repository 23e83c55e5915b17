#!/usr/bin/python3
"""Checks the release folder: SHA256SUMS, the winget and Scoop manifests valid under the
published schemas, and each manifest naming the folder's files by their addresses and by the
hashes they have now.

    check_manifests.py RELEASE_DIR SCHEMA_DIR VERSION URL_BASE
"""
import hashlib
import json
import os
import sys
import zipfile

try:
    import jsonschema
    import yaml
except ImportError as missing:
    print(f"SKIPPED: {missing} (Debian's python3-jsonschema and python3-yaml)")
    sys.exit(77)

release, schemas, version, base = sys.argv[1:5]
if not os.path.isdir(schemas):
    print(f"SKIPPED: no published schemas in {schemas}")
    sys.exit(77)

ZIPS = {"64bit": f"kelvor-{version}-win64.zip", "32bit": f"kelvor-{version}-win32.zip"}
SETUPS = {"x64": f"kelvor-{version}-setup-x64.exe", "x86": f"kelvor-{version}-setup-x86.exe"}
results = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what)
    results.append(ok)


def sha256(name):
    with open(os.path.join(release, name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def validate(document, schema, what):
    with open(os.path.join(schemas, schema)) as f:
        validator = jsonschema.Draft7Validator(json.load(f))
    errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
    check(not errors, f"{what} is valid under {schema}" + "".join(
        f"\n    {'/'.join(map(str, e.path))}: {e.message}" for e in errors))


with open(os.path.join(release, "SHA256SUMS")) as f:
    sums = {name: digest for digest, name in (line.split("  ", 1) for line in f.read().splitlines())}
check(sorted(sums) == sorted([*ZIPS.values(), *SETUPS.values()]), f"SHA256SUMS lists the four files: {sorted(sums)}")
for name, digest in sums.items():
    check(os.path.isfile(os.path.join(release, name)) and sha256(name) == digest, f"SHA256SUMS holds the hash of {name}")

winget = {}
for kind, suffix, schema in (("version", "", "version"), ("installer", ".installer", "installer"),
                             ("defaultLocale", ".locale.en-US", "defaultLocale")):
    with open(os.path.join(release, "winget", f"kelvor.kelvor{suffix}.yaml")) as f:
        winget[kind] = yaml.safe_load(f)
    validate(winget[kind], f"winget/manifest.{schema}.1.6.0.json", f"the winget {kind} manifest")
    check(winget[kind].get("PackageIdentifier") == "kelvor.kelvor" and winget[kind].get("PackageVersion") == version,
          f"the winget {kind} manifest is kelvor.kelvor {version}")
installer = winget["installer"]
check(installer.get("InstallerType") == "nullsoft" and installer.get("Scope") == "user",
      "the winget installers are nullsoft, for the user")
by_arch = {entry.get("Architecture"): entry for entry in installer.get("Installers", [])}
check(sorted(by_arch) == sorted(SETUPS), f"winget has the installers of {sorted(SETUPS)}: {sorted(by_arch)}")
for arch, name in SETUPS.items():
    entry = by_arch.get(arch, {})
    check(entry.get("InstallerUrl") == f"{base}/{name}", f"winget's {arch} address is {base}/{name}")
    check(str(entry.get("InstallerSha256", "")).lower() == sha256(name), f"winget's {arch} hash is that of {name}")

with open(os.path.join(release, "kelvor.json")) as f:
    scoop = json.load(f)
validate(scoop, "scoop/schema.json", "the Scoop manifest")
check(scoop.get("version") == version, f"the Scoop manifest is of version {version}")
check(sorted(scoop.get("persist", [])) == ["cache", "kelvor.ini"], "Scoop keeps kelvor.ini and cache across updates")
check(["kelvor.exe", "kelvor"] in scoop.get("shortcuts", []), "Scoop makes a shortcut \"kelvor\" to kelvor.exe")
for arch, name in ZIPS.items():
    entry = scoop.get("architecture", {}).get(arch, {})
    check(entry.get("url") == f"{base}/{name}", f"Scoop's {arch} address is {base}/{name}")
    check(entry.get("hash") == sha256(name), f"Scoop's {arch} hash is that of {name}")
    with zipfile.ZipFile(os.path.join(release, name)) as z:
        check(f"{entry.get('extract_dir')}/kelvor.exe" in z.namelist(), f"{name} holds kelvor.exe in {entry.get('extract_dir')}")

print(f"{results.count(True)} passed, {results.count(False)} failed")
sys.exit(0 if all(results) else 1)
