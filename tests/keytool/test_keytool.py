#!/usr/bin/env python3
"""Tests of moravel-key, the publisher's signing key tool: keys and signatures against
the published Ed25519 test vectors, the secret file it writes (private, never over an
existing file or through a link), the secret files it refuses, and its usage.

    test_keytool.py MORAVEL_KEY
"""

import base64
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

KEYTOOL = None
HEADER = "moravel-update-key ed25519 secret"

# RFC 8032, section 7.1, tests 1 and 2: seed, public key, message, signature.
VECTORS = [
    ("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
     b"",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"),
    ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
     b"\x72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"),
]


def b64(hex_text):
    return base64.b64encode(bytes.fromhex(hex_text)).decode()


def run(*args, stdin=b"", umask=None):
    return subprocess.run([KEYTOOL] + list(args), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE,
                          preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)


class KeyTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="keytool-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data, mode=0o600):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        os.chmod(path, mode)
        return path

    def ok(self, *args, stdin=b""):
        result = run(*args, stdin=stdin)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result.stdout.decode()

    def failed(self, code, message, *args, stdin=b""):
        result = run(*args, stdin=stdin)
        self.assertEqual(result.returncode, code, (args, result.stdout, result.stderr))
        self.assertIn(message, result.stderr.decode())
        self.assertEqual(result.stdout, b"")
        return result


class KnownKeyTest(KeyTest):
    def test_published_vectors(self):
        for seed, public, message, signature in VECTORS:
            with self.subTest(public=public[:8]):
                secret = self.write("s-" + public[:8], "%s\n%s\n" % (HEADER, b64(seed)))
                self.assertEqual(self.ok("pubkey", secret), b64(public) + "\n")
                self.assertEqual(self.ok("sign", secret, stdin=message), b64(signature) + "\n")
                self.ok("verify", b64(public), b64(signature), stdin=message)

    def test_the_format_allows_comments_blank_lines_and_crlf(self):
        seed, public = VECTORS[0][:2]
        secret = self.write("annotated", "%s\r\n\r\n# release key, 2026\r\n%s  \r\n\n# end\n"
                            % (HEADER, b64(seed)))
        self.assertEqual(self.ok("pubkey", secret).strip(), b64(public))


class RoundTripTest(KeyTest):
    def test_keygen_pubkey_sign_verify(self):
        secret = self.path("release.key")
        public = self.ok("keygen", secret).strip()
        self.assertEqual(len(public), 44)
        self.assertEqual(len(base64.b64decode(public, validate=True)), 32)
        self.assertEqual(self.ok("pubkey", secret).strip(), public)
        with open(secret) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], HEADER)
        self.assertEqual(len(lines), 2)
        self.assertEqual(len(base64.b64decode(lines[1], validate=True)), 32)

        message = b'<?xml version="1.0"?>\n<UpdateList issued="x"/>\n' + bytes(range(256))
        signature = self.ok("sign", secret, stdin=message).strip()
        self.assertEqual(len(base64.b64decode(signature, validate=True)), 64)
        self.assertEqual(self.ok("verify", public, signature, stdin=message),
                         "the signature is valid\n")

        # One byte changed anywhere, in the message or in the signature, and it fails.
        changed = bytearray(message)
        changed[30] ^= 0x01
        self.failed(1, "does not verify", "verify", public, signature, stdin=bytes(changed))
        self.failed(1, "does not verify", "verify", public, signature, stdin=message[:-1])
        raw = bytearray(base64.b64decode(signature))
        raw[10] ^= 0x80
        self.failed(1, "does not verify", "verify", public, base64.b64encode(bytes(raw)).decode(),
                    stdin=message)

        # Another key: its own signatures verify, those of the first do not.
        other = self.ok("keygen", self.path("other.key")).strip()
        self.assertNotEqual(other, public)
        self.failed(1, "does not verify", "verify", other, signature, stdin=message)
        other_signature = self.ok("sign", self.path("other.key"), stdin=message).strip()
        self.ok("verify", other, other_signature, stdin=message)
        self.failed(1, "does not verify", "verify", public, other_signature, stdin=message)

    def test_verify_refuses_what_is_no_key_or_signature(self):
        public, signature = b64(VECTORS[1][1]), b64(VECTORS[1][3])
        cases = [
            ("key too short", public[:-4], signature, "not a public key"),
            ("key of 33 bytes", base64.b64encode(b"k" * 33).decode(), signature, "not a public key"),
            ("key not base64", "!" * 43 + "=", signature, "not a public key"),
            ("signature of 63 bytes", public, base64.b64encode(b"s" * 63).decode(), "not a signature"),
            ("signature not base64", public, signature[:-3] + "*==", "not a signature"),
            ("signature without padding", public, signature.rstrip("="), "not a signature"),
        ]
        for label, key, sig, message in cases:
            with self.subTest(label):
                self.failed(1, message, "verify", key, sig, stdin=VECTORS[1][2])


class SecretFileTest(KeyTest):
    def test_keygen_writes_a_file_only_its_owner_can_read(self):
        # Even with a umask that lets everybody read new files.
        secret = self.path("open-umask.key")
        result = run("keygen", secret, umask=0)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(stat.S_IMODE(os.lstat(secret).st_mode), 0o600)
        self.assertTrue(stat.S_ISREG(os.lstat(secret).st_mode))

    def test_keygen_never_overwrites_or_writes_through_a_link(self):
        existing = self.write("existing.key", "precious\n")
        self.failed(1, "exists", "keygen", existing)
        with open(existing) as f:
            self.assertEqual(f.read(), "precious\n")

        target = self.write("target", "elsewhere\n", 0o644)
        link = self.path("link.key")
        os.symlink(target, link)
        self.failed(1, "symbolic link", "keygen", link)
        with open(target) as f:
            self.assertEqual(f.read(), "elsewhere\n")

        dangling = self.path("dangling.key")
        os.symlink(self.path("would-be-created"), dangling)
        self.failed(1, "symbolic link", "keygen", dangling)
        self.assertFalse(os.path.lexists(self.path("would-be-created")))

        self.failed(1, "cannot create", "keygen", self.path("no-such-folder/x.key"))

    def test_malformed_secret_files_are_refused(self):
        seed = b64(VECTORS[0][0])
        cases = [
            ("empty", "", "first line"),
            ("no header", seed + "\n", "first line"),
            ("another header", "moravel-update-key rsa secret\n%s\n" % seed, "first line"),
            ("public key file", "%s\n" % b64(VECTORS[0][1]), "first line"),
            ("no key", HEADER + "\n# nothing\n", "holds no key"),
            ("31 bytes", "%s\n%s\n" % (HEADER, base64.b64encode(b"x" * 31).decode()), "32 bytes"),
            ("33 bytes", "%s\n%s\n" % (HEADER, base64.b64encode(b"x" * 33).decode()), "32 bytes"),
            ("not base64", "%s\n%s\n" % (HEADER, "?" * 43 + "="), "32 bytes"),
            ("hex instead", "%s\n%s\n" % (HEADER, VECTORS[0][0]), "32 bytes"),
            ("two keys", "%s\n%s\n%s\n" % (HEADER, seed, b64(VECTORS[1][0])), "one key only"),
            ("too large", HEADER + "\n" + "#" * 10000 + "\n" + seed + "\n", "too large"),
        ]
        for label, text, message in cases:
            with self.subTest(label):
                secret = self.write(label.replace(" ", "-"), text)
                for command in ("pubkey", "sign"):
                    self.failed(1, message, command, secret, stdin=b"message")
        self.failed(1, "cannot open", "pubkey", self.path("missing.key"))
        self.failed(1, "not a regular file", "sign", self.dir, stdin=b"message")

    def test_a_secret_file_others_can_read_is_used_with_a_warning(self):
        seed, public = VECTORS[0][:2]
        secret = self.write("shared.key", "%s\n%s\n" % (HEADER, b64(seed)), 0o640)
        result = run("pubkey", secret)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout.decode().strip(), b64(public))
        self.assertIn("chmod 600", result.stderr.decode())
        self.assertEqual(run("pubkey", self.write("own.key", "%s\n%s\n" % (HEADER, b64(seed))))
                         .stderr, b"")


class UsageTest(KeyTest):
    def test_wrong_usage_exits_with_2(self):
        for args in ([], ["keygn", "x"], ["keygen"], ["keygen", "a", "b"], ["sign"],
                     ["verify", "onlykey"], ["pubkey", ""]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists("x"))

    def test_help_documents_the_secret_file(self):
        text = self.ok("--help")
        for part in ("keygen SECRET_FILE", "pubkey", "sign", "verify PUBLIC_KEY", HEADER, "0600"):
            self.assertIn(part, text)


if __name__ == "__main__":
    KEYTOOL = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
