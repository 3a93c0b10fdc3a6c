#!/usr/bin/env python3
"""Lays out the server folders of the trust root's attack table for the end-to-end test.

Each row gets OUT/<row>/<step>/ (a whole server folder per state the workstation meets, in order)
and OUT/<row>/raiz (the SHA-256 for [Seguranca] Raiz). The honest parts are written by the real
publisher (keygen, root draft/sign/publish, publish, rollout); what the publisher rightly refuses to
write is forged here: the document edited as JSON and signed with the test keys through openssl,
as an attacker holding (or having stolen) those keys would. OUT/keys/<name>.id holds each key's id
and OUT/keys/<name>/publisher-key.pub its public key text, for the test's expectations.

    attack_servers.py --publisher aurevia-publish --demo-module demo-module.exe --out DIR
"""
import argparse
import base64
import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

STOLEN_SERIAL = 1 << 62
ROOT_KEYS = ("r1", "r2", "r3")
ROLLOUT = "aurevia-rollout.json"
BOTH = "manifest,rollout"


class Keys:
    """P-256 key pairs made by the publisher's keygen; signatures made with openssl."""

    def __init__(self, publisher, folder):
        self.publisher = publisher
        self.folder = folder
        self.ids = {}

    def make(self, name):
        folder = self.folder / name
        folder.mkdir(parents=True)
        self.publisher.run("keygen", "--out", folder)
        der = subprocess.run(
            ["openssl", "pkey", "-in", self.pem(name), "-pubout", "-outform", "DER"],
            check=True,
            capture_output=True,
        ).stdout
        self.ids[name] = hashlib.sha256(der).hexdigest()
        (self.folder / f"{name}.id").write_text(self.ids[name])

    def pem(self, name):
        return self.folder / name / "publisher-key.pem"

    def pub(self, name):
        return self.folder / name / "publisher-key.pub"

    def name_of(self, key_id):
        return next(name for name, known in self.ids.items() if known == key_id)

    def sign(self, name, data):
        """r then s, 32 bytes each, over SHA-256 of data: what the launcher checks."""
        der = subprocess.run(
            ["openssl", "dgst", "-sha256", "-sign", self.pem(name)],
            input=data,
            check=True,
            capture_output=True,
        ).stdout
        return raw_signature(der)


def raw_signature(der):
    # SEQUENCE { INTEGER r, INTEGER s }, short lengths (a P-256 signature is under 128 bytes).
    assert der[0] == 0x30 and der[1] < 0x80, der.hex()
    parts, at = [], 2
    for _ in range(2):
        assert der[at] == 0x02
        length = der[at + 1]
        parts.append(int.from_bytes(der[at + 2 : at + 2 + length], "big"))
        at += 2 + length
    return b"".join(p.to_bytes(32, "big") for p in parts)


class Publisher:
    def __init__(self, path):
        self.path = path

    def run(self, *args, refused=False):
        done = subprocess.run([self.path, *map(str, args)], capture_output=True, text=True)
        if refused:
            if done.returncode == 0:
                sys.exit(f"aurevia-publish {' '.join(map(str, args))} accepted what it must refuse")
            return done
        if done.returncode != 0:
            sys.exit(f"aurevia-publish {' '.join(map(str, args))}: status {done.returncode}\n{done.stderr}")
        return done.stdout


class Server:
    """One server folder and the publisher's commands on it."""

    def __init__(self, path, publisher, keys, scratch):
        self.path = path
        self.publisher = publisher
        self.keys = keys
        self.scratch = scratch
        path.mkdir(parents=True, exist_ok=True)

    def copy(self, path):
        shutil.copytree(self.path, path, symlinks=True)
        return Server(path, self.publisher, self.keys, self.scratch)

    def draft(self, *args):
        folder = Path(tempfile.mkdtemp(dir=self.scratch)) / "draft"
        self.publisher.run("root", "draft", "--to", self.path, "--out", folder, *args)
        return folder

    def sign_draft(self, draft, signers):
        for name in signers:
            self.publisher.run("root", "sign", "--draft", draft, "--key", self.keys.pem(name))

    def root(self, *args, signers=("r1", "r2")):
        """A root version written by the publisher; returns the text for Raiz."""
        draft = self.draft(*args)
        self.sign_draft(draft, signers)
        out = self.publisher.run("root", "publish", "--draft", draft, "--to", self.path)
        return next(line[5:] for line in out.splitlines() if line.startswith("Raiz="))

    def first_root(self, keys, product="aurevia"):
        args = ["--product", product, "--threshold", "2"]
        for name in ROOT_KEYS:
            args += ["--add-root-key", self.keys.pub(name)]
        for name, roles in keys:
            args += ["--add-key", self.keys.pub(name), "--roles", roles]
        return self.root(*args)

    def forged_root(self, version, draft_args=(), edit=None, signers=("r1", "r2")):
        """A root version the publisher would not publish, written straight into the folder; a
        name repeated in SIGNERS signs twice."""
        document = json.loads((self.draft(*draft_args) / "root.json").read_bytes())
        if edit:
            edit(document)
        self.write_root(version, document, signers)

    def write_root(self, version, document, signers=("r1", "r2")):
        data = compact(document)
        lines = [self.root_signature_line(name, data) for name in signers]
        self.write(f"aurevia-root/{version}.json", data)
        self.write(f"aurevia-root/{version}.sig", "".join(line + "\n" for line in lines).encode())

    def root_signature_line(self, name, data):
        return self.keys.ids[name] + " " + base64.b64encode(self.keys.sign(name, data)).decode()

    def release(self, files, key, *extra):
        source = Path(tempfile.mkdtemp(dir=self.scratch))
        for name, content in files.items():
            (source / name).write_bytes(content)
        self.publisher.run("publish", "--from", source, "--to", self.path, "--key", self.keys.pem(key), *extra)

    def rollout(self, key, release, *extra):
        key = self.keys.pem(key)
        self.publisher.run("rollout", "--to", self.path, "--key", key, "--ring", "geral", "--release", release, *extra)

    def read(self, name):
        return (self.path / name).read_bytes()

    def write(self, name, data):
        # What an attacker copies in replaces the publisher's links with plain files.
        target = self.path / name
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.is_symlink():
            target.unlink()
        target.write_bytes(data)

    def forge(self, name, key, edit=None):
        """The signed document NAME, edited and signed by KEY (and naming it); returns its bytes."""
        document = json.loads(self.read(name))
        document["key"] = self.keys.ids[key]
        if edit:
            edit(document)
        data = compact(document)
        self.write(name, data)
        self.write(name[: -len(".json")] + ".sig", self.keys.sign(key, data))
        return data

    def forge_release(self, serial, key, edit=None):
        """Release SERIAL forged by KEY, and the rollout document's pin of it made to match, signed
        again by the key the rollout document names (the attacker holds both)."""
        data = self.forge(f"aurevia-releases/{serial}.json", key, edit)
        rollout = json.loads(self.read(ROLLOUT))
        for ring in rollout["rings"]:
            if ring.get("release") == serial and "release_sha256" in ring:
                ring["release_sha256"] = hashlib.sha256(data).hexdigest()
        self.forge(ROLLOUT, self.keys.name_of(rollout["key"]), lambda d: d.update(rollout))

    def take_from(self, other, serial):
        """Release SERIAL, its objects and the rollout document copied from another server folder."""
        for name in (f"aurevia-releases/{serial}.json", f"aurevia-releases/{serial}.sig"):
            self.write(name, other.read(name))
        for name in (ROLLOUT, "aurevia-rollout.sig"):
            self.write(name, other.read(name))
        for entry in (other.path / "aurevia-objects").rglob("*"):
            if entry.is_file():
                self.write(str(entry.relative_to(other.path)), entry.read_bytes())


def compact(document):
    return json.dumps(document, separators=(",", ":"), ensure_ascii=False).encode()


class Table:
    def __init__(self, out, publisher, keys, demo):
        self.out = out
        self.publisher = publisher
        self.keys = keys
        self.installed = {"Admission.exe": demo}
        # What every attack tries to install: a changed module and a file the workstation lacks.
        self.attack = {"Admission.exe": demo + b"\r\nattack", "gds32.dll": b"attack library"}
        self.scratch = out / "scratch"
        self.scratch.mkdir()

    def server(self, row, step):
        return Server(self.out / row / str(step), self.publisher, self.keys, self.scratch)

    def base(self, row, keys=(("s1", BOTH),), signer="s1", product="aurevia", then=None):
        """Step 0 of a row: root 1 (three root keys, threshold 2) certifying KEYS, the installed
        files as release 1 signed by SIGNER, and a rollout document giving it to every ring."""
        server = self.server(row, 0)
        (self.out / row / "raiz").write_text(server.first_root(keys, product))
        if then:
            then(server)
        server.release(self.installed, signer)
        server.rollout(signer, 1)
        return server

    def attack_release(self, server, key="s1"):
        """Release 2 (the attack's files) published by KEY and given to every ring."""
        server.release(self.attack, key)
        server.rollout(key, 2)


def revoke_s1(server):
    server.root("--revoke", server.keys.ids["s1"])


# 1. A document signed by a key the root does not list.
def row_01(t, k):
    s = t.base("01-unlisted-key").copy(t.out / "01-unlisted-key/1")
    t.attack_release(s)
    s.forge(ROLLOUT, "x")


# 2. A key past its not-after (root 2 keeps s2 certified, its window ended in 2020).
def row_02(t, k):
    s = t.base("02-key-past-not-after", keys=(("s1", BOTH), ("s2", BOTH))).copy(t.out / "02-key-past-not-after/1")
    t.attack_release(s)

    def end_s2(root):
        for key in root["keys"]:
            if key["id"] == k.ids["s2"]:
                key.update(not_before="2019-01-01T00:00:00Z", not_after="2020-01-01T00:00:00Z")

    s.forged_root(2, edit=end_s2)
    s.forge(ROLLOUT, "s2")


# 3. A key revoked in root 2 once the workstation has seen root 2.
def row_03(t, k):
    s = t.base("03-revoked-key", keys=(("s1", BOTH), ("s2", BOTH)), signer="s2", then=revoke_s1)
    s = s.copy(t.out / "03-revoked-key/1")
    t.attack_release(s, "s2")
    s.forge(ROLLOUT, "s1")


# 4 and 5. Root 2 handing the root to new keys, signed by its new keys only, or by the old
# threshold only; it certifies s2, which signs the attack.
def row_04_05(t, k):
    handover = ["--add-root-key", k.pub("r4"), "--add-root-key", k.pub("r5")]
    handover += ["--add-key", k.pub("s2"), "--roles", BOTH]
    for name in ROOT_KEYS:
        handover += ["--remove-root-key", k.ids[name]]
    for row, signers in (("04-root-only-new-keys", ("r4", "r5")), ("05-root-only-old-keys", ("r1", "r2"))):
        s = t.base(row).copy(t.out / row / "1")
        t.attack_release(s)
        s.forged_root(2, draft_args=handover, signers=signers)
        s.forge_release(2, "s2")
        s.forge(ROLLOUT, "s2")


# 6. One root key's signature repeated to reach the threshold of 2; root 2 certifies s2.
def row_06(t, k):
    s = t.base("06-repeated-signature").copy(t.out / "06-repeated-signature/1")
    t.attack_release(s)
    s.forged_root(2, draft_args=["--add-key", k.pub("s2"), "--roles", BOTH], signers=("r1", "r1"))
    s.forge_release(2, "s2")
    s.forge(ROLLOUT, "s2")


# 7. Root 1 served again as the newest version once root 2 (which revoked s1) was accepted.
def row_07(t, k):
    s = t.base("07-replayed-root", keys=(("s1", BOTH), ("s2", BOTH)), signer="s2", then=revoke_s1)
    s = s.copy(t.out / "07-replayed-root/1")
    t.attack_release(s, "s2")
    s.write("aurevia-root/3.json", s.read("aurevia-root/1.json"))
    s.write("aurevia-root/3.sig", s.read("aurevia-root/1.sig"))
    s.forge_release(2, "s1")
    s.forge(ROLLOUT, "s1")


# 8. A root version that skips a number (root "3" where 2 belongs), certifying s2.
def row_08(t, k):
    s = t.base("08-skipped-version").copy(t.out / "08-skipped-version/1")
    t.attack_release(s)
    s.forged_root(2, draft_args=["--add-key", k.pub("s2"), "--roles", BOTH], edit=lambda r: r.update(version=3))
    s.forge_release(2, "s2")
    s.forge(ROLLOUT, "s2")


# 9. A key certified for manifests only signing a rollout document.
def row_09(t, k):
    s = t.base("09-manifest-key-signs-rollout", keys=(("s1", BOTH), ("s2", "manifest")))
    s = s.copy(t.out / "09-manifest-key-signs-rollout/1")
    t.attack_release(s)
    s.forge(ROLLOUT, "s2")


# 10. A thief with s1 signs serial 2^62 (step 0); the honest serial is frozen out (step 1); root
# 2 revokes s1 and moves the epoch, the honest publisher rolls out with s2 (step 2): taken.
def row_10(t, k):
    row = "10-stolen-serial-new-epoch"
    honest = t.base(row, keys=(("s1", BOTH), ("s2", BOTH)))
    os.rename(honest.path, t.out / row / "honest")
    honest = Server(t.out / row / "honest", t.publisher, k, t.scratch)
    thief = honest.copy(t.out / row / "0")
    thief.forge(ROLLOUT, "s1", lambda d: d.update(serial=STOLEN_SERIAL))
    s = honest.copy(t.out / row / "1")
    t.attack_release(s)
    s = honest.copy(t.out / row / "2")
    s.root("--revoke", k.ids["s1"], "--new-epoch")
    s.release(t.attack, "s2")
    s.rollout("s2", 2, "--adopt")
    shutil.rmtree(honest.path)


# 11. An endless or oversized root chain. Step 1: 33 versions after root 1, one more than an update
# walks. Step 2: root 2 (which revokes s1, the attack's signer) padded past the cap on the server.
def row_11(t, k):
    base = t.base("11-endless-chain", keys=(("s1", BOTH), ("s2", BOTH)))
    s = base.copy(t.out / "11-endless-chain/1")
    t.attack_release(s)
    # Each one root 1 under the next number, signed by two root keys: a valid chain, too long.
    root = json.loads(s.read("aurevia-root/1.json"))
    for version in range(2, 35):
        s.write_root(version, dict(root, version=version))
    s = base.copy(t.out / "11-endless-chain/2")
    t.attack_release(s)
    revoke_s1(s)
    s.write("aurevia-root/2.json", s.read("aurevia-root/2.json") + b" " * 70000)


# 12. An expired root with no newer one.
def row_12(t, k):
    s = t.base("12-expired-root").copy(t.out / "12-expired-root/1")
    t.attack_release(s)
    s.forged_root(2, edit=lambda r: r.update(expires="2020-01-01T00:00:00Z"))


# 13. Offline across three versions (2 adds s2, 3 revokes s1, 4 adds s3) while s1 signed the
# attack: caught up in one update, s1 refused.
def row_13(t, k):
    s = t.base("13-offline-three-versions").copy(t.out / "13-offline-three-versions/1")
    t.attack_release(s)
    s.root("--add-key", k.pub("s2"), "--roles", BOTH)
    s.root("--revoke", k.ids["s1"])
    s.root("--add-key", k.pub("s3"), "--roles", BOTH)


# 14. The user's Aurevia.ini names the thief's key (x) and no Raiz; the machine policy names the
# root. One state: the workstation meets the attack before it accepted anything, so the anchor
# decides (with the user's settings the thief's documents would be taken: x is their key).
def row_14(t, k):
    s = t.base("14-policy-wins")
    t.attack_release(s)
    s.forge_release(2, "x")
    s.forge(ROLLOUT, "x")


# 15. The ring was given release 2, then rolled back to release 1; a second Windows user of the
# workstation, who never ran the launcher, is served the older rollout document (release 2).
def row_15(t, k):
    s = t.base("15-second-user")
    t.attack_release(s)
    older = {name: s.read(name) for name in (ROLLOUT, "aurevia-rollout.sig")}
    s.rollout("s1", 1)
    s = s.copy(t.out / "15-second-user/1")
    for name, data in older.items():
        s.write(name, data)


# 16. A document signed by the same keys for another product (a test server's).
def row_16(t, k):
    s = t.base("16-other-product").copy(t.out / "16-other-product/1")
    other = t.base("16-other-product/test-server", product="aurevia-teste")
    t.attack_release(other)
    s.take_from(other, 2)


# 17. A release and its objects copied from a staging deployment that shares the root and the
# keys into production's folder.
def row_17(t, k):
    s = t.base("17-deployment-copy").copy(t.out / "17-deployment-copy/1")
    staging = Server(t.out / "17-deployment-copy/staging", t.publisher, k, t.scratch)
    shutil.copytree(s.path / "aurevia-root", staging.path / "aurevia-root")
    # Its first publish names it; production's folder took a made-up name of its own.
    staging.release(t.installed, "s1", "--deployment", "homologacao")
    t.attack_release(staging)
    s.take_from(staging, 2)


# 18. A rollout document with the serial of the accepted one and other bytes (it gives release 2).
def row_18(t, k):
    base = t.base("18-same-serial")
    serial = json.loads(base.read(ROLLOUT))["serial"]
    s = base.copy(t.out / "18-same-serial/1")
    t.attack_release(s)
    s.forge(ROLLOUT, "s1", lambda d: d.update(serial=serial))


# 19. A release entry dated 1500: the publisher refuses the file; forged and signed anyway.
def row_19(t, k):
    s = t.base("19-dated-1500").copy(t.out / "19-dated-1500/1")
    # ext4 cannot date a file before 1901; tmpfs can.
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else t.scratch) as source:
        dated = Path(source) / "gds32.dll"
        dated.write_bytes(b"attack library")
        try:
            os.utime(dated, (-14831769600, -14831769600))  # 1500-01-01T00:00:00Z
        except OSError:
            pass
        if os.stat(dated).st_mtime != -14831769600:
            sys.exit("no file system here can date a file 1500: the publisher's refusal is not tried")
        before = sorted(str(p.relative_to(s.path)) for p in s.path.rglob("*"))
        t.publisher.run("publish", "--from", source, "--to", s.path, "--key", k.pem("s1"), refused=True)
        if sorted(str(p.relative_to(s.path)) for p in s.path.rglob("*")) != before:
            sys.exit("the refused publish left something in the server folder")
    t.attack_release(s)

    def dated_1500(release):
        for entry in release["files"]:
            if entry["name"] == "gds32.dll":
                entry["age"] = "1500-01-01T00:00:00Z"

    s.forge_release(2, "s1", dated_1500)

# Each row writes only its own folders: they are laid out side by side.
ROWS = (
    row_01,
    row_02,
    row_03,
    row_04_05,
    row_06,
    row_07,
    row_08,
    row_09,
    row_10,
    row_11,
    row_12,
    row_13,
    row_14,
    row_15,
    row_16,
    row_17,
    row_18,
    row_19,
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--demo-module", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if not os.access(args.publisher, os.X_OK):
        sys.exit(f"{args.publisher} is not built (cmake --build --preset native --target aurevia-publish)")
    out = Path(args.out)
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    publisher = Publisher(args.publisher)
    keys = Keys(publisher, out / "keys")
    for name in ("r1", "r2", "r3", "r4", "r5", "s1", "s2", "s3", "x"):
        keys.make(name)
    table = Table(out, publisher, keys, Path(args.demo_module).read_bytes())
    # Most of the time goes to the publisher's fsyncs: a few rows at once.
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for done in [pool.submit(row, table, keys) for row in ROWS]:
            done.result()
    shutil.rmtree(table.scratch)


if __name__ == "__main__":
    main()
