#!/usr/bin/env python3
"""Tests of tools/mksite: the reply it writes, its checks of the description, rebuilding
a site, and the site as nginx and a plain static server answer the update request.

    test_mksite.py MKSITE MKPACKAGE
"""

import http.server
import json
import os
import shutil
import socket
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
            ("https", [ok], "plain http", {"base": "https://127.0.0.1/"}),
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


class RefusalTest(SiteTest):
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

    def get(self, path):
        try:
            with urllib.request.urlopen(self.base + path, timeout=10) as reply:
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

    def test_nginx_answers_the_update_request_with_the_reply(self):
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
                    "http { access_log off; %s server { listen 127.0.0.1:%d;\n include %s;\n"
                    " location / { return 404; } } }\n"
                    % (prefix, prefix, temp, self.port, os.path.join(self.out, "nginx-location.conf")))
        server = subprocess.Popen([nginx, "-p", prefix, "-e", prefix + "/error.log", "-c", conf],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.wait_for_port(server)
            status, kind, body = self.get(REQUEST)
            self.assertEqual(status, 200)
            self.assertEqual(kind, "application/xml")
            self.assertEqual(body, self.read("reply.xml"))
            status, kind, body = self.get("packages/A-1.pkg")
            self.assertEqual((status, kind), (200, "application/octet-stream"))
            self.assertEqual(body, self.read("packages", "A-1.pkg"))
            self.assertEqual(self.get("addons/get_addons.php")[0], 404)
            self.assertEqual(self.get("site.json")[0], 404)
        finally:
            server.terminate()
            server.wait(10)

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


if __name__ == "__main__":
    MKSITE, MKPACKAGE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
