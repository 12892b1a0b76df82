#!/usr/bin/env python3
"""Tests of tools/mksite: the reply it writes, its checks of the description, rebuilding
a site, the site as nginx (over http and over TLS) and a plain static server answer the
update request, signed sites and the checks of --verify.

    test_mksite.py MKSITE MKPACKAGE MORAVEL_KEY
"""

import base64
import calendar
import hashlib
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

MKSITE = None
MKPACKAGE = None
KEYTOOL = None
TESTPKI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "testpki")
MAGIC = b"\x25\x06\x78\x19"
REQUEST = ("addons/get_addons.php/get_addons.php?addon=Update%20List&product=Moravel%20Reader"
           "&version=7.0&build=0.100&platform=x86&EmbededLanguage=en-US")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SiteTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="mksite-")
        self.out = os.path.join(self.dir, "site")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def make_tree(self, name, files):
        root = os.path.join(self.dir, name)
        for path, data in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        return root

    def describe(self, modules, **top):
        top["modules"] = modules
        path = os.path.join(self.dir, "site.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(top, f, ensure_ascii=False)
        return path

    def mksite(self, description, base="http://127.0.0.1:8080/", *options):
        return subprocess.run([sys.executable, MKSITE, "--mkpackage", MKPACKAGE] + list(options)
                              + [description, self.out, base],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)

    def build(self, description, base="http://127.0.0.1:8080/", *options):
        run = self.mksite(description, base, *options)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run

    def reply(self):
        return ET.parse(os.path.join(self.out, "reply.xml")).getroot()

    def read(self, *path):
        with open(os.path.join(self.out, *path), "rb") as f:
            return f.read()


class ReplyTest(SiteTest):
    def test_reply_lists_each_module_with_its_package(self):
        self.make_tree("reader", {"Setup.xml": b"<setup/>", "bin/reader.run": b"#!/bin/sh\n"})
        self.make_tree("dict", {"words.dic": b"colour\n" * 50})
        ready = os.path.join(self.dir, "Ready.pkg")
        subprocess.run([MKPACKAGE, os.path.join(self.dir, "dict"), ready], check=True)
        self.make_tree("plugins", {"JSCount.js": b"function count() {}\n"})
        description = self.describe(
            [{"name": "Moravel Reader", "version": "7.1.0.200", "description": "New reader",
              "source": "reader", "attributes": {"module_type": "reader", "update_mode": 1,
                                                 "iscommon": False}},
             {"name": "Dictionaries", "version": "2.3", "silent": True, "file": "Ready.pkg"},
             {"name": "OCR_Engine", "version": "3.0", "result": False},
             {"name": "JSCount", "version": "1.0", "file": "plugins/JSCount.js"}],
            root="addons", root_attributes={"majorUpdate": "TRUE"})
        self.build(description)

        root = self.reply()
        self.assertEqual(root.tag, "addons")
        self.assertEqual(root.attrib, {"majorUpdate": "TRUE"})
        modules = list(root)
        self.assertEqual([m.get("name") for m in modules],
                         ["Moravel Reader", "Dictionaries", "OCR_Engine", "JSCount"])
        reader, dictionaries, ocr, plugin = modules

        self.assertEqual(reader.get("url"), "http://127.0.0.1:8080/packages/Moravel_Reader-7.1.0.200.pkg")
        self.assertEqual(dictionaries.get("url"), "http://127.0.0.1:8080/packages/Ready.pkg")
        self.assertEqual(plugin.get("url"), "http://127.0.0.1:8080/packages/JSCount.js")
        for module in (reader, dictionaries, plugin):
            name = module.get("url").rsplit("/", 1)[1]
            self.assertEqual(module.get("size"), str(len(self.read("packages", name))))
            self.assertEqual(module.get("result"), "true")
        self.assertEqual(self.read("packages", "Moravel_Reader-7.1.0.200.pkg")[:4], MAGIC)
        with open(ready, "rb") as f:
            self.assertEqual(self.read("packages", "Ready.pkg"), f.read())
        self.assertEqual(self.read("packages", "JSCount.js"), b"function count() {}\n")

        self.assertEqual(dictionaries.get("SilentInstall"), "TRUE")
        self.assertIsNone(reader.get("SilentInstall"))
        self.assertEqual((reader.get("module_type"), reader.get("update_mode"), reader.get("iscommon")),
                         ("reader", "1", "false"))
        self.assertEqual(ocr.get("result"), "false")
        self.assertIsNone(ocr.get("url"))
        self.assertIsNone(ocr.get("size"))
        self.assertEqual(len(os.listdir(os.path.join(self.out, "packages"))), 3)

        # A plain static server finds the same reply at the request's path.
        self.assertEqual(self.read("reply.xml"),
                         self.read("addons", "get_addons.php", "get_addons.php"))

    def test_texts_survive_as_written(self):
        self.make_tree("p", {"a": b"x"})
        texts = ['Fixes "printing" & <layout>', "line one\nline two\ttabbed\r",
                 "Größe, 更新, 업데이트", "  spaced  "]
        description = self.describe(
            [{"name": text, "version": "1", "description": text, "source": "p",
              "package": "p%d.pkg" % i, "attributes": {"title": text}}
             for i, text in enumerate(texts)])
        self.build(description)
        for module, text in zip(self.reply(), texts):
            self.assertEqual(module.get("name"), text)
            self.assertEqual(module.get("description"), text)
            self.assertEqual(module.get("title"), text)
        self.assertTrue(self.read("reply.xml").startswith(b'<?xml version="1.0" encoding="UTF-8"?>'))

    def test_base_url_with_a_path(self):
        self.make_tree("p", {"a": b"x"})
        description = self.describe([{"name": "A", "version": "1", "source": "p",
                                      "package": "A_b.pkg"}])
        self.build(description, "http://updates.example.com:8081/moravel")
        self.assertEqual(self.reply()[0].get("url"),
                         "http://updates.example.com:8081/moravel/packages/A_b.pkg")
        conf = self.read("nginx-location.conf").decode()
        self.assertIn('location = "/moravel/addons/get_addons.php/get_addons.php"', conf)
        self.assertIn('location ^~ "/moravel/packages/"', conf)
        self.assertIn('alias "%s";' % os.path.join(self.out, "reply.xml"), conf)

    def test_https_base_url(self):
        self.make_tree("p", {"a": b"x"})
        self.make_tree("f", {"JSa.js": b"a"})
        description = self.describe([{"name": "A", "version": "1", "source": "p",
                                      "package": "A_b.pkg"},
                                     {"name": "JSa", "version": "1", "file": "f/JSa.js"},
                                     {"name": "B", "version": "1", "result": False}])
        # The scheme is written in lower case, as the updater compares it; the host stays.
        run = self.build(description, "HTTPS://Updates.example.com:8443/moravel")
        a, plugin, current = self.reply()
        self.assertEqual(a.get("url"), "https://Updates.example.com:8443/moravel/packages/A_b.pkg")
        self.assertEqual(plugin.get("url"), "https://Updates.example.com:8443/moravel/packages/JSa.js")
        self.assertIsNone(current.get("url"))
        self.assertIn("server: https://Updates.example.com:8443/moravel/addons/get_addons.php",
                      run.stdout)
        # The server's paths do not depend on the scheme.
        conf = self.read("nginx-location.conf").decode()
        self.assertIn('location = "/moravel/addons/get_addons.php/get_addons.php"', conf)
        self.assertIn('location ^~ "/moravel/packages/"', conf)
        # Rebuilt for plain http, the same site names http urls again.
        self.build(description, "http://updates.example.com/moravel/")
        self.assertEqual(self.reply()[0].get("url"),
                         "http://updates.example.com/moravel/packages/A_b.pkg")


class RefusalTest(SiteTest):
    def refused(self, modules, message, base="http://127.0.0.1/", **top):
        run = self.mksite(self.describe(modules, **top), base)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn(message, run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.out, "reply.xml")))

    def test_bad_descriptions_are_refused_before_anything_is_written(self):
        self.make_tree("p", {"a": b"x"})
        self.make_tree("files", {"notapackage.bin": b"PK\x03\x04 something else entirely",
                                 "JSok.js": b"x"})
        ok = {"name": "A", "version": "1", "source": "p"}
        cases = [
            ("ftp", [ok], "http or https address", {"base": "ftp://127.0.0.1/"}),
            ("file", [ok], "http or https address", {"base": "file:///srv/moravel/"}),
            ("scheme alike", [ok], "http or https address", {"base": "httpss://127.0.0.1/"}),
            ("no scheme", [ok], "http or https address", {"base": "//127.0.0.1/"}),
            ("no host", [ok], "no host", {"base": "http:///x"}),
            ("query", [ok], "query", {"base": "http://h/?a=1"}),
            ("name missing", [{"version": "1", "source": "p"}], "name is missing", {}),
            ("version empty", [{"name": "A", "version": " ", "source": "p"}], "version is empty", {}),
            ("unknown key", [dict(ok, silnet=True)], "unknown key(s) silnet", {}),
            ("flag not boolean", [dict(ok, silent="yes")], "silent must be true or false", {}),
            ("both sources", [dict(ok, file="files/JSok.js")], "either source or file", {}),
            ("missing folder", [dict(ok, source="nowhere")], "does not exist", {}),
            ("no package", [{"name": "A", "version": "1"}], "needs a source folder or a file", {}),
            ("same package", [dict(ok, package="x.pkg"), dict(ok, name="B", package="x.pkg")],
             "same package name", {}),
            ("path as package name", [dict(ok, package="../x.pkg")], "plain file name", {}),
            ("own attribute", [dict(ok, attributes={"url": "http://elsewhere/"})],
             "has its own key", {}),
            ("not a package", [{"name": "A", "version": "1", "file": "files/notapackage.bin"}],
             "not an update package", {}),
            ("control character", [dict(ok, description="bell\x07")], "XML cannot carry", {}),
            ("no rollout days", [dict(ok, rollout_days=0)], "rollout_days must be", {}),
            ("rollout days as text", [dict(ok, rollout_days="7")], "rollout_days must be", {}),
            ("rollout days true", [dict(ok, rollout_days=True)], "rollout_days must be", {}),
            ("critical not boolean", [dict(ok, critical="yes")], "critical must be true or false", {}),
            ("rollout as an attribute", [dict(ok, attributes={"rollout-days": "3"})],
             "has its own key", {}),
            ("modules not a list", {"name": "A"}, "modules must be a list", {}),
        ]
        for label, modules, message, extra in cases:
            with self.subTest(label):
                self.refused(modules, message, **extra)

    def test_unreadable_description(self):
        path = os.path.join(self.dir, "broken.json")
        with open(path, "w") as f:
            f.write('{"modules": [')
        run = self.mksite(path)
        self.assertEqual(run.returncode, 1)
        self.assertIn("not valid JSON", run.stderr)
        run = self.mksite(os.path.join(self.dir, "missing.json"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot read", run.stderr)

    def test_wrong_usage(self):
        run = subprocess.run([sys.executable, MKSITE, "only-one-argument"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(run.returncode, 2)


class WarningTest(SiteTest):
    def warnings(self, modules):
        run = self.build(self.describe(modules))
        return [line for line in run.stderr.splitlines() if "warning" in line]

    def test_offers_the_updater_would_not_carry_out(self):
        self.make_tree("p", {"a": b"x"})
        self.make_tree("f", {"JSa.js": b"a", "JSb.js": b"b"})
        plain = {"version": "1", "source": "p"}
        # Plug-ins are installed wherever they stand in the list.
        self.assertEqual(self.warnings([{"name": "JSa", "version": "1", "file": "f/JSa.js"},
                                        dict(plain, name="Reader", package="r.pkg")]), [])
        patch = self.warnings([dict(plain, name="Reader Patch", package="p.pkg"),
                               dict(plain, name="Updater", package="u.pkg")])
        self.assertEqual(len(patch), 1)
        self.assertIn("Reader Patch", patch[0])
        service = self.warnings([dict(plain, name="Cloud", package="c.pkg",
                                      attributes={"update_mode": "2", "isInternalService": "TRUE"})])
        self.assertEqual(len(service), 1)
        self.assertIn("never offered", service[0])


class UpdaterLimitTest(SiteTest):
    def test_names_of_the_working_folder_are_refused(self):
        self.make_tree("p", {"a": b"x"})
        for name in ("uncompress", "update_tmpfile.xml", "installer-3"):
            run = self.mksite(self.describe([{"name": "A", "version": "1", "source": "p",
                                              "package": name}]))
            self.assertEqual(run.returncode, 1, name)
            self.assertIn("working folder", run.stderr)
        # Names that merely look alike are fine.
        run = self.mksite(self.describe([{"name": "A", "version": "1", "source": "p",
                                          "package": "installer-3.pkg"}]))
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_reply_over_the_updaters_limit_is_refused(self):
        self.make_tree("p", {"a": b"x"})
        run = self.mksite(self.describe([{"name": "A", "version": "1", "source": "p",
                                          "description": "x" * (8 * 1024 * 1024)}]))
        self.assertEqual(run.returncode, 1)
        self.assertIn("8 MiB", run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.out, "reply.xml")))


class RebuildTest(SiteTest):
    def test_failed_rebuild_keeps_the_published_reply(self):
        self.make_tree("p", {"a": b"x"})
        self.build(self.describe([{"name": "A", "version": "1", "source": "p"}]))
        published = self.read("reply.xml")
        # mkpackage refuses symbolic links; the new package cannot be built.
        bad = self.make_tree("q", {"b": b"y"})
        os.symlink("/etc/hostname", os.path.join(bad, "link"))
        run = self.mksite(self.describe([{"name": "A", "version": "2", "source": "q"}]))
        self.assertEqual(run.returncode, 1)
        self.assertIn("mkpackage failed", run.stderr)
        self.assertEqual(self.read("reply.xml"), published)
        self.assertEqual(self.read("addons", "get_addons.php", "get_addons.php"), published)

    def test_prune_removes_only_packages_no_longer_named(self):
        self.make_tree("p", {"a": b"x"})
        both = [{"name": "A", "version": "1", "source": "p", "package": "a.pkg"},
                {"name": "B", "version": "1", "source": "p", "package": "b.pkg"}]
        self.build(self.describe(both))
        self.build(self.describe(both[:1]))
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "packages"))), ["a.pkg", "b.pkg"])
        self.build(self.describe(both[:1]), "http://127.0.0.1:8080/", "--prune")
        self.assertEqual(os.listdir(os.path.join(self.out, "packages")), ["a.pkg"])
        self.assertEqual([m.get("name") for m in self.reply()], ["A"])


class ServedTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.make_tree("p", {"Setup.xml": b"<setup/>"})
        self.port = free_port()
        self.base = "http://127.0.0.1:%d/" % self.port
        self.build(self.describe([{"name": "A", "version": "1", "source": "p",
                                   "package": "A-1.pkg"}]), self.base)

    def get(self, path, context=None):
        url = path if "://" in path else self.base + path
        try:
            with urllib.request.urlopen(url, timeout=10, context=context) as reply:
                return reply.status, reply.headers.get("Content-Type"), reply.read()
        except urllib.error.HTTPError as e:
            return e.code, None, b""

    def wait_for_port(self, process):
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return
            self.assertIsNone(process.poll() if process else None, "the server ended")
            time.sleep(0.05)
        self.fail("the server did not start")

    def nginx(self, tls=""):
        """Starts nginx on the port with the site's locations (and the server block lines
        tls), stopped when the test ends."""
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self.assertTrue(os.access(nginx, os.X_OK), "nginx is missing (scripts/test installs it)")
        prefix = os.path.join(self.dir, "nginx")
        os.makedirs(prefix)
        temp = "".join("%s_temp_path %s/%s;\n" % (k, prefix, k)
                       for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write("daemon off; master_process off; pid %s/pid; error_log %s/error.log;\n"
                    "events { worker_connections 16; }\n"
                    "http { access_log off; %s server { listen 127.0.0.1:%d%s;\n %s\n include %s;\n"
                    " location / { return 404; } } }\n"
                    % (prefix, prefix, temp, self.port, " ssl" if tls else "", tls,
                       os.path.join(self.out, "nginx-location.conf")))
        server = subprocess.Popen([nginx, "-p", prefix, "-e", prefix + "/error.log", "-c", conf],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.terminate)
        self.wait_for_port(server)
        return server

    def test_nginx_answers_the_update_request_with_the_reply(self):
        self.nginx()
        status, kind, body = self.get(REQUEST)
        self.assertEqual(status, 200)
        self.assertEqual(kind, "application/xml")
        self.assertEqual(body, self.read("reply.xml"))
        status, kind, body = self.get("packages/A-1.pkg")
        self.assertEqual((status, kind), (200, "application/octet-stream"))
        self.assertEqual(body, self.read("packages", "A-1.pkg"))
        self.assertEqual(self.get("addons/get_addons.php")[0], 404)
        self.assertEqual(self.get("site.json")[0], 404)

    def test_an_https_site_served_by_nginx_over_tls(self):
        # A site built for an https address, served with a certificate of a throw-away
        # authority, fetched by a client that trusts that authority alone: the reply at
        # the request path, then every package at the url the reply names for it.
        pki = os.path.join(self.dir, "pki")
        subprocess.run([TESTPKI, pki], check=True, stdout=subprocess.DEVNULL)
        self.make_tree("f", {"JSa.js": b"function a() {}\n"})
        self.base = "https://127.0.0.1:%d/" % self.port
        self.build(self.describe([{"name": "A", "version": "1", "source": "p", "package": "A-1.pkg"},
                                  {"name": "JSa", "version": "1", "file": "f/JSa.js"}]), self.base)
        self.nginx('ssl_certificate "%s/server.pem"; ssl_certificate_key "%s/server.key";'
                   % (pki, pki))
        trusting = ssl.create_default_context(cafile=os.path.join(pki, "ca.pem"))
        status, kind, body = self.get(REQUEST, trusting)
        self.assertEqual((status, kind), (200, "application/xml"))
        self.assertEqual(body, self.read("reply.xml"))
        urls = [m.get("url") for m in ET.fromstring(body)]
        self.assertEqual(urls, [self.base + "packages/A-1.pkg", self.base + "packages/JSa.js"])
        for url in urls:
            status, _, package = self.get(url, trusting)
            self.assertEqual(status, 200)
            self.assertEqual(package, self.read("packages", url.rsplit("/", 1)[1]))
        # The same server without the authority: the certificate is not taken.
        with self.assertRaises(urllib.error.URLError) as refused:
            self.get(REQUEST, ssl.create_default_context(cafile=os.path.join(pki, "selfsigned.pem")))
        self.assertIsInstance(refused.exception.reason, ssl.SSLCertVerificationError)

    def test_a_plain_static_server_answers_too(self):
        out = self.out

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=out, **kwargs)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            status, _, body = self.get(REQUEST)
            self.assertEqual(status, 200)
            self.assertEqual(body, self.read("reply.xml"))
            self.assertEqual(self.get("packages/A-1.pkg")[2], self.read("packages", "A-1.pkg"))
        finally:
            server.shutdown()
            server.server_close()

SIGNATURE = re.compile(rb"<!-- moravel-signature ed25519 ([A-Za-z0-9+/=]+) -->\n$")
TIME = "%Y-%m-%dT%H:%M:%SZ"


def utc_seconds(text):
    return calendar.timegm(time.strptime(text, TIME))


def utc_text(seconds):
    return time.strftime(TIME, time.gmtime(seconds))


def keytool(*args, stdin=b""):
    run = subprocess.run([KEYTOOL] + list(args), input=stdin, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    return run.returncode, run.stdout.decode().strip()


def content_sha256(path):
    run = subprocess.run([MKPACKAGE, "--content-sha256", path], stdout=subprocess.PIPE, check=True)
    return run.stdout.decode().strip()


class SignedSiteTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.secret = os.path.join(self.dir, "release.key")
        code, self.public = keytool("keygen", self.secret)
        self.assertEqual(code, 0)
        self.make_tree("reader", {"Setup.xml": b"<setup/>", "bin/reader.run": b"#!/bin/sh\n"})
        self.make_tree("plugins", {"JSCount.js": b"function count() {}\n"})
        self.modules = [
            {"name": "Moravel Reader", "version": "7.1", "source": "reader", "package": "R.pkg",
             "attributes": {"module_type": "reader"}},
            {"name": "OCR_Engine", "version": "3.0", "result": False},
            {"name": "JSCount", "version": "1.0", "file": "plugins/JSCount.js"}]
        self.product = "Moravel Reader"

    def sign(self, *options, out=None):
        description = self.describe(self.modules, root_attributes={"majorUpdate": "false"})
        self.out = out or self.out
        return self.build(description, "http://127.0.0.1:8080/", "--sign", self.secret,
                          "--product", self.product, "--keytool", KEYTOOL, *options)

    def split(self, reply):
        found = SIGNATURE.search(reply)
        self.assertIsNotNone(found, reply[-200:])
        return reply[:found.start()], found.group(1).decode()

    def resign(self, site, edit):
        """Signs the reply again with the site's key after edit(message) changed it, as a
        publisher with the key could."""
        with open(os.path.join(site, "reply.xml"), "rb") as f:
            message, _ = self.split(f.read())
        message = edit(message)
        code, signature = keytool("sign", self.secret, stdin=message)
        self.assertEqual(code, 0)
        reply = message + b"<!-- moravel-signature ed25519 " + signature.encode() + b" -->\n"
        for path in ("reply.xml", "addons/get_addons.php/get_addons.php"):
            with open(os.path.join(site, path), "wb") as f:
                f.write(reply)

    def verify(self, key=None, site=None, *options):
        # The build's own mkpackage, wherever the build folder is.
        if "--mkpackage" not in options:
            options = ("--mkpackage", MKPACKAGE) + options
        run = subprocess.run([sys.executable, MKSITE, "--verify", key or self.public,
                              site or self.out, "--keytool", KEYTOOL] + list(options),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True)
        return run.returncode, run.stdout, run.stderr.splitlines()


class SigningTest(SignedSiteTest):
    def test_a_signed_site_carries_product_platform_times_hashes_and_a_signature_that_verifies(self):
        self.product = 'A&B "x" <Reader>\tline\n'
        before = int(time.time())
        self.sign()
        after = int(time.time())
        reply = self.read("reply.xml")
        self.assertEqual(self.read("addons", "get_addons.php", "get_addons.php"), reply)
        message, signature = self.split(reply)
        self.assertEqual(keytool("verify", self.public, signature, stdin=message)[0], 0)

        root = ET.fromstring(message)
        self.assertEqual(root.get("majorUpdate"), "false")
        self.assertEqual((root.get("product"), root.get("platform")), (self.product, "x86"))
        issued, expires = utc_seconds(root.get("issued")), utc_seconds(root.get("expires"))
        self.assertTrue(before <= issued <= after, root.get("issued"))
        self.assertEqual(expires - issued, 30 * 86400)
        reader, ocr, plugin = list(root)
        for module, name in ((reader, "R.pkg"), (plugin, "JSCount.js")):
            self.assertEqual(module.get("sha256"),
                             hashlib.sha256(self.read("packages", name)).hexdigest())
        self.assertIsNone(ocr.get("sha256"))

        # Apart from the times, the hashes and the comment it is the unsigned reply.
        unsigned_dir = os.path.join(self.dir, "unsigned")
        run = subprocess.run([sys.executable, MKSITE, "--mkpackage", MKPACKAGE, "-q",
                              os.path.join(self.dir, "site.json"), unsigned_dir,
                              "http://127.0.0.1:8080/"], stderr=subprocess.PIPE)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(os.path.join(unsigned_dir, "reply.xml"), "rb") as f:
            unsigned = f.read()
        stripped = re.sub(rb' (product|platform|issued|expires|sha256)="[^"]*"', b"", message)
        self.assertEqual(stripped, unsigned)

        code, out, faults = self.verify(None, None, "--product", self.product)
        self.assertEqual((code, faults), (0, []))
        self.assertIn('site verified: product "A&B \\"x\\" <Reader>\\tline\\n", signed', out)
        self.assertIn("2 file(s)", out)

    def test_valid_days_and_a_key_file_of_several_keys(self):
        self.sign("--valid-days", "7")
        root = ET.fromstring(self.split(self.read("reply.xml"))[0])
        self.assertEqual(utc_seconds(root.get("expires")) - utc_seconds(root.get("issued")),
                         7 * 86400)
        # Both the old and the new key trusted, as while a publisher moves to a new one.
        code, other = keytool("keygen", os.path.join(self.dir, "next.key"))
        keys = os.path.join(self.dir, "update-keys.pub")
        with open(keys, "w", encoding="utf-8-sig") as f:
            f.write("# old and new\n%s\n\n%s   # release key\n" % (other, self.public))
        self.assertEqual(self.verify(keys)[0], 0)
        with open(keys, "w") as f:
            f.write("%s\n" % other)
        code, _, faults = self.verify(keys)
        self.assertEqual((code, len(faults)), (1, 1))
        self.assertIn("does not verify", faults[0])

    def test_moravel_key_is_found_beside_mkpackage(self):
        description = self.describe(self.modules)
        run = subprocess.run([sys.executable, MKSITE, "--mkpackage", MKPACKAGE, "--sign",
                              self.secret, "--product", "P", description, self.out,
                              "http://127.0.0.1:8080/"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.verify()[0], 0)

    def test_signing_refusals_leave_nothing_behind(self):
        broken = os.path.join(self.dir, "broken.key")
        with open(broken, "w") as f:
            f.write("moravel-update-key ed25519 secret\nnot-a-key\n")
        description = self.describe(self.modules)
        cases = [
            ("malformed secret file", ["--sign", broken, "--product", "P"], 1, "32 bytes"),
            ("missing secret file", ["--sign", os.path.join(self.dir, "none.key"), "--product",
                                     "P"], 1, "cannot open"),
            ("no key tool", ["--sign", self.secret, "--product", "P", "--keytool",
                             os.path.join(self.dir, "nokt")], 1, "cannot run"),
            ("zero days", ["--sign", self.secret, "--product", "P", "--valid-days", "0"], 2,
             "--valid-days"),
            ("days without signing", ["--valid-days", "5"], 2, "--valid-days"),
            ("no product", ["--sign", self.secret], 2, "--sign needs --product"),
            ("empty product", ["--sign", self.secret, "--product", ""], 2, "not empty"),
            ("product without signing", ["--product", "P"], 2, "--product belongs to --sign"),
        ]
        for label, options, code, message in cases:
            with self.subTest(label):
                run = self.mksite(description, "http://127.0.0.1:8080/", *options)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.out, "reply.xml")))
                self.assertEqual(os.listdir(os.path.join(self.out, "packages"))
                                 if os.path.isdir(os.path.join(self.out, "packages")) else [], [])

    def test_attributes_that_signing_writes_are_refused(self):
        self.make_tree("p", {"a": b"x"})
        ok = {"name": "A", "version": "1", "source": "p"}
        for label, modules, top, message in [
                ("module sha256", [dict(ok, attributes={"sha256": "0" * 64})], {}, "sha256 is written by --sign"),
                ("root issued", [ok], {"root_attributes": {"issued": "2026-01-01T00:00:00Z"}}, "issued is written by --sign"),
                ("root expires", [ok], {"root_attributes": {"expires": "2099-01-01T00:00:00Z"}}, "expires is written by --sign"),
                ("root product", [ok], {"root_attributes": {"product": "P"}}, "product is written by --sign"),
                ("root platform", [ok], {"root_attributes": {"platform": "x86"}}, "platform is written by --sign")]:
            with self.subTest(label):
                run = self.mksite(self.describe(modules, **top))
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(message, run.stderr)

    def test_an_unsigned_site_is_built_as_before(self):
        self.make_tree("p", {"Setup.xml": b"<setup/>"})
        self.build(self.describe([{"name": "A & B", "version": "1", "source": "p", "package": "a.pkg",
                                   "silent": True},
                                  {"name": "C", "version": "2", "result": False}],
                                 root="addons", root_attributes={"majorUpdate": "TRUE"}))
        size = len(self.read("packages", "a.pkg"))
        content = content_sha256(os.path.join(self.out, "packages", "a.pkg"))
        self.assertEqual(self.read("reply.xml").decode(),
                         '<?xml version="1.0" encoding="UTF-8"?>\n'
                         '<addons majorUpdate="TRUE">\n'
                         '  <module name="A &amp; B" version="1" description="" size="%d" '
                         'url="http://127.0.0.1:8080/packages/a.pkg" content-sha256="%s" result="true" '
                         'SilentInstall="TRUE"/>\n'
                         '  <module name="C" version="2" description="" result="false"/>\n'
                         '</addons>\n' % (size, content))
        code, _, faults = self.verify()
        self.assertEqual(code, 1)
        self.assertIn("mksite: reply.xml: not signed: it does not end with a signature comment", faults)
        self.assertIn("mksite: reply.xml: the root has no issued time", faults)
        self.assertIn("mksite: reply.xml: the root has no expires time", faults)
        self.assertIn("mksite: reply.xml: the root has no product; updaters refuse it", faults)
        self.assertIn('mksite: module "A & B": no sha256; updaters do not offer it', faults)


class RolloutTest(SignedSiteTest):
    def test_rollout_and_critical_in_the_reply_and_in_verify(self):
        self.modules[0]["rollout_days"] = 7
        self.modules[2].update(critical=True, rollout_days=0.5)
        start = int(time.time()) - 2 * 86400
        run = self.sign("--rollout-start", utc_text(start))
        self.assertIn("critical: automatic checks offer it to everybody", run.stderr)
        self.assertIn("phased in over 7 days from %s" % utc_text(start), run.stdout)
        reader, ocr, plugin = list(ET.fromstring(self.split(self.read("reply.xml"))[0]))
        self.assertEqual((reader.get("rollout-start"), reader.get("rollout-days"), reader.get("critical")),
                         (utc_text(start), "7", None))
        self.assertEqual((plugin.get("rollout-days"), plugin.get("critical")), ("0.5", "true"))
        self.assertIsNone(ocr.get("rollout-start"))
        code, out, faults = self.verify()
        self.assertEqual((code, faults), (0, []), out)
        lines = out.splitlines()
        self.assertIn('module "Moravel Reader" 7.1: rollout from %s over 7 days, now offered to 28.6%% '
                      'of installations' % utc_text(start), lines)
        self.assertIn('module "JSCount" 1.0: rollout from %s over 0.5 days, now offered to 100.0%% of '
                      'installations (critical: automatic checks offer it to all)' % utc_text(start), lines)
        self.assertEqual(len(lines), 3)

        # Without --rollout-start the rollout starts now; a halted one is published again
        # with far more days under the same start.
        before = int(time.time())
        self.sign()
        self.assertTrue(before <= utc_seconds(list(ET.fromstring(self.split(
            self.read("reply.xml"))[0]))[0].get("rollout-start")) <= int(time.time()))
        self.modules[0]["rollout_days"] = 36500
        self.sign("--rollout-start", utc_text(start))
        self.assertIn("now offered to 0.0% of installations", self.verify()[1])

    def test_malformed_rollouts(self):
        run = self.mksite(self.describe(self.modules), "http://127.0.0.1:8080/",
                          "--rollout-start", "2026-01-01 00:00:00")
        self.assertEqual(run.returncode, 2)
        self.assertIn("--rollout-start takes", run.stderr)
        self.sign()
        self.resign(self.out, lambda m: m.replace(b'name="Moravel Reader"',
                                                  b'name="Moravel Reader" rollout-days="0"'))
        code, _, faults = self.verify()
        self.assertEqual(code, 1)
        self.assertEqual(faults, ["mksite: module \"Moravel Reader\" 7.1: rollout-start None and "
                                  "rollout-days '0' make no rollout: automatic checks do not offer it"])


class VerifyTest(SignedSiteTest):
    """--verify on a signed site with one thing wrong: that one fault, in one line."""

    def setUp(self):
        super().setUp()
        self.sign(out=os.path.join(self.dir, "signed"))
        self.signed = self.out

    def copy(self, name):
        site = os.path.join(self.dir, name)
        shutil.copytree(self.signed, site, symlinks=True)
        return site

    def change_byte(self, path, offset):
        with open(path, "r+b") as f:
            f.seek(offset)
            byte = f.read(1)
            f.seek(offset)
            f.write(bytes([byte[0] ^ 0x20]))

    def set_root(self, **values):
        def edit(message):
            for name, value in values.items():
                if value is None:
                    message = re.sub(rb' %s="[^"]*"' % name.encode(), b"", message, count=1)
                else:
                    message = re.sub(rb'%s="[^"]*"' % name.encode(),
                                     b'%s="%s"' % (name.encode(), value.encode()), message, count=1)
            return message
        return edit

    def faults_of(self, site, key=None, *options):
        code, out, faults = self.verify(key, site, *options)
        self.assertEqual(code, 1, out)
        return faults

    def test_the_untouched_site_verifies(self):
        code, out, faults = self.verify(site=self.signed)
        self.assertEqual((code, faults), (0, []), out)

    def test_changed_files(self):
        now = int(time.time())
        reply_text = self.read("reply.xml")

        def package_byte(site):
            self.change_byte(os.path.join(site, "packages", "R.pkg"), 40)

        def reply_byte(site):
            offset = reply_text.index(b'name="Moravel Reader"') + 7
            for path in ("reply.xml", "addons/get_addons.php/get_addons.php"):
                self.change_byte(os.path.join(site, path), offset)

        def one_copy(site):
            with open(os.path.join(site, "addons/get_addons.php/get_addons.php"), "ab") as f:
                f.write(b"\n")

        def missing_package(site):
            os.unlink(os.path.join(site, "packages", "JSCount.js"))

        def signature_gone(site):
            message, _ = self.split(reply_text)
            for path in ("reply.xml", "addons/get_addons.php/get_addons.php"):
                with open(os.path.join(site, path), "wb") as f:
                    f.write(message)

        cases = [
            ("a package byte", package_byte, 'packages/R.pkg has SHA-256 '),
            ("a reply byte", reply_byte, "the signature does not verify with the key given"),
            ("one copy of the reply", one_copy, "not the same as reply.xml"),
            ("a package missing", missing_package, "packages/JSCount.js is missing"),
            ("the signature cut off", signature_gone, "not signed"),
            ("expired", lambda site: self.resign(site, self.set_root(
                issued=utc_text(now - 40 * 86400), expires=utc_text(now - 10))), "expired at"),
            ("issued two days ahead", lambda site: self.resign(site, self.set_root(
                issued=utc_text(now + 2 * 86400))), "issued more than a day ahead"),
            ("a day that does not exist", lambda site: self.resign(site, self.set_root(
                expires="2031-02-30T00:00:00Z")), "expires is not a time"),
            ("a time in another form", lambda site: self.resign(site, self.set_root(
                issued=utc_text(now).replace("T", " "))), "issued is not a time"),
            ("no expires", lambda site: self.resign(site, self.set_root(expires=None)),
             "the root has no expires time"),
            ("sha256 in capitals", lambda site: self.resign(site, lambda m: re.sub(
                rb'sha256="([0-9a-f]+)"', lambda g: b'sha256="%s"' % g.group(1).upper(), m,
                count=1)), "64 lowercase hexadecimal digits"),
            ("another size", lambda site: self.resign(site, lambda m: re.sub(
                rb'size="([0-9]+)"', b'size="1"', m, count=1)), "the reply says 1"),
            ("no product", lambda site: self.resign(site, self.set_root(product=None)),
             "the root has no product"),
            ("no platform", lambda site: self.resign(site, self.set_root(platform=None)),
             "the root has no platform"),
            ("another platform", lambda site: self.resign(site, self.set_root(platform="x64")),
             'platform is "x64", updaters send x86'),
            ("the platform in capitals", lambda site: self.resign(site, self.set_root(platform="X86")),
             'platform is "X86"'),
            ("another product asked for", lambda site: None,
             'made for product "Moravel Reader", not "Moravel Reader ": its updaters refuse it',
             "--product", "Moravel Reader "),
        ]
        for label, damage, message, *options in cases:
            with self.subTest(label):
                site = self.copy(label.replace(" ", "-"))
                damage(site)
                faults = self.faults_of(site, None, *options)
                self.assertEqual(len(faults), 1, faults)
                self.assertIn(message, faults[0])

    def test_another_key(self):
        code, other = keytool("keygen", os.path.join(self.dir, "other.key"))
        faults = self.faults_of(self.signed, other)
        self.assertEqual(faults, ["mksite: reply.xml: the signature does not verify with the key given"])
        # A secret key file is not taken for a list of public keys.
        faults = self.faults_of(self.signed, self.secret)
        self.assertIn("is a secret key", faults[0])


def binary(seed, version, size=120000):
    """A library-like file and a later build of it: some runs changed, most bytes kept."""
    data = bytearray(b"".join(hashlib.sha256(b"%d-%d" % (seed, i)).digest() for i in range(size // 32)))
    for at in range(500 * version, len(data) - 16, 7000):
        data[at:at + 8] = hashlib.sha256(b"%d-%d-%d" % (seed, version, at)).digest()[:8]
    return bytes(data)


class DeltaSiteTest(SignedSiteTest):
    """Deltas from earlier packages: made, listed inside their module with the content
    digest, signed with the rest, and checked by --verify against their bases."""

    def setUp(self):
        super().setUp()
        self.make_tree("reader", {"Setup.xml": b"<setup/>", "lib/libreader.so": binary(1, 3)})
        os.makedirs(os.path.join(self.dir, "old"))
        for name, version, level in (("R-7.0.pkg", 2, "-6"), ("R-6.9.pkg", 1, "-6"),
                                     ("R-7.0-again.pkg", 2, "-1")):
            tree = self.make_tree("v-" + name, {"Setup.xml": b"<setup/>",
                                                "lib/libreader.so": binary(1, version)})
            subprocess.run([MKPACKAGE, level, tree, os.path.join(self.dir, "old", name)], check=True)
        self.modules[0]["delta_from"] = ["old/R-7.0.pkg", "old/R-6.9.pkg", "old/R-7.0-again.pkg"]
        self.bases = os.path.join(self.dir, "old")

    def deltas_of(self, module):
        return [(d.get("from"), d.get("url"), d.get("size"), d.get("sha256")) for d in module]

    def test_deltas_are_listed_signed_and_verified(self):
        run = self.sign()
        self.assertIn("has the content of an earlier base: no second delta", run.stderr)
        root = ET.fromstring(self.split(self.read("reply.xml"))[0])
        reader, ocr, plugin = list(root)
        content = content_sha256(os.path.join(self.out, "packages", "R.pkg"))
        self.assertEqual(reader.get("content-sha256"), content)
        self.assertIsNone(plugin.get("content-sha256"))
        deltas = self.deltas_of(reader)
        self.assertEqual([d[0] for d in deltas],
                         [content_sha256(os.path.join(self.bases, n)) for n in ("R-7.0.pkg", "R-6.9.pkg")])
        for base, (origin, url, size, sha) in zip(("R-7.0.pkg", "R-6.9.pkg"), deltas):
            name = "R.pkg.%s.delta" % origin[:16]
            self.assertEqual(url, "http://127.0.0.1:8080/packages/deltas/" + name)
            data = self.read("packages", "deltas", name)
            self.assertEqual((size, sha), (str(len(data)), hashlib.sha256(data).hexdigest()))
            self.assertLess(len(data), int(reader.get("size")) // 4)
            applied = subprocess.run([MKPACKAGE, "--apply-delta", os.path.join(self.bases, base),
                                      os.path.join(self.out, "packages", "deltas", name)],
                                     stdout=subprocess.PIPE, check=True)
            self.assertEqual(applied.stdout.decode().strip(), content)

        code, out, faults = self.verify(None, None, "--bases", self.bases, "--mkpackage", MKPACKAGE)
        self.assertEqual((code, faults), (0, []), out)
        self.assertIn("2 delta(s) give their module's content", out)
        code, _, faults = self.verify(None, None, "--mkpackage", MKPACKAGE)
        self.assertEqual(code, 1)
        self.assertEqual(len(faults), 2)
        self.assertIn("no base with that content in packages/ or the --bases folders", faults[0])

    def test_verify_finds_each_delta_fault(self):
        self.sign()
        signed = self.out
        reply = self.read("reply.xml")
        first = re.search(rb'url="http://127.0.0.1:8080/packages/deltas/([^"]+)"', reply).group(1).decode()

        def resign(site, edit):
            VerifyTest.resign(self, site, edit)

        def other_delta(site):
            # a delta to another content, with its own hash and size, in place of the first
            other = os.path.join(site, "other.delta")
            subprocess.run([MKPACKAGE, "--delta", os.path.join(self.bases, "R-7.0.pkg"),
                            os.path.join(self.bases, "R-6.9.pkg"), other], check=True,
                           stdout=subprocess.PIPE)
            with open(other, "rb") as f:
                data = f.read()
            os.replace(other, os.path.join(site, "packages", "deltas", first))
            resign(site, lambda m: re.sub(rb'(<delta from="[0-9a-f]+" url="[^"]+' + first.encode()
                                          + rb'" size=")[0-9]+(" sha256=")[0-9a-f]+',
                                          lambda g: g.group(1) + str(len(data)).encode() + g.group(2)
                                          + hashlib.sha256(data).hexdigest().encode(), m))

        cases = [
            ("a delta byte", lambda site: VerifyTest.change_byte(
                self, os.path.join(site, "packages", "deltas", first), 100), "has SHA-256"),
            ("a delta missing", lambda site: os.unlink(os.path.join(site, "packages", "deltas", first)),
             "is missing"),
            ("a delta of another content", other_delta, "it gives content"),
            ("the content digest", lambda site: resign(site, lambda m: re.sub(
                rb'content-sha256="[0-9a-f]{8}', b'content-sha256="00000000', m)),
             "packages/R.pkg has content"),
        ]
        for label, damage, message in cases:
            with self.subTest(label):
                site = os.path.join(self.dir, label.replace(" ", "-"))
                shutil.copytree(signed, site)
                damage(site)
                code, out, faults = self.verify(None, site, "--bases", self.bases, "--mkpackage", MKPACKAGE)
                self.assertEqual(code, 1, out)
                self.assertIn(message, "\n".join(faults))

    def test_unsigned_rebuild_reuses_deltas_and_prune_drops_old_ones(self):
        description = self.describe(self.modules)
        self.build(description)
        reader = self.reply()[0]
        # without keys an updater uses a delta only when the package has its hash too
        self.assertEqual(reader.get("sha256"), hashlib.sha256(self.read("packages", "R.pkg")).hexdigest())
        names = sorted(os.listdir(os.path.join(self.out, "packages", "deltas")))
        self.assertEqual(len(names), 2)
        made = {n: os.stat(os.path.join(self.out, "packages", "deltas", n)).st_ino for n in names}
        self.modules[0]["delta_from"] = ["old/R-7.0.pkg"]
        self.build(self.describe(self.modules), "http://127.0.0.1:8080/", "--prune")
        kept = os.listdir(os.path.join(self.out, "packages", "deltas"))
        self.assertEqual(len(kept), 1)
        self.assertEqual(os.stat(os.path.join(self.out, "packages", "deltas", kept[0])).st_ino, made[kept[0]])
        self.assertEqual(len(self.deltas_of(self.reply()[0])), 1)

    def test_bad_delta_sources_are_refused(self):
        with open(os.path.join(self.dir, "old", "notes.txt"), "w") as f:
            f.write("not a package")
        for label, change, message in [
                ("a plug-in", (2, ["old/R-7.0.pkg"]), "needs a package (not a plug-in)"),
                ("a missing file", (0, ["old/none.pkg"]), "does not exist"),
                ("no list", (0, "old/R-7.0.pkg"), "is a list of package files"),
                ("not a package", (0, ["old/notes.txt"]), "is not an update package")]:
            with self.subTest(label):
                modules = json.loads(json.dumps(self.modules))
                modules[change[0]]["delta_from"] = change[1]
                run = self.mksite(self.describe(modules))
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.out, "reply.xml")))


if __name__ == "__main__":
    MKSITE, MKPACKAGE, KEYTOOL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
