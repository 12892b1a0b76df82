#!/usr/bin/env python3
"""The function length check, tools/long-functions, on sources made for it.

    test_long_functions.py LONG_FUNCTIONS
"""
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv.pop(1) if len(sys.argv) > 1 else 'tools/long-functions'


def body(lines, inner='    step();\n'):
    """A function body of exactly this many lines, braces included."""
    return '{\n' + inner + '    step();\n' * (lines - 2 - inner.count('\n')) + '}\n'


CASES = [
    # (what, file name, source, functions reported as name: lines)
    ('the limit itself passes', 'a.cpp', 'void a()\n' + body(60) + 'void b()\n' + body(61), ['b: 61']),
    ('constructor with initialisers', 'a.cpp',
     'Foo::Foo(int a)\n    : Base(a), m_x{1}, m_y(2), m_z{3}\n' + body(62), ['Foo::Foo: 62']),
    ('qualifiers and trailing return', 'a.cpp',
     'int Foo::get() const noexcept\n' + body(61) + 'auto f(int x) -> int\n' + body(70), ['Foo::get: 61', 'f: 70']),
    ('inline member after an access specifier', 'a.h',
     'class A : public B\n{\n    Q_OBJECT\npublic slots:\n    void f()\n    ' + body(61)
     + 'private:\n    struct Inner\n    {\n        void g() ' + body(62) + '    };\n};\n', ['f: 61', 'g: 62']),
    ('extern "C"', 'a.cpp',
     'extern "C" void h(int)\n' + body(61) + 'extern "C" {\nint g()\n' + body(63) + '}\n', ['h: 61', 'g: 63']),
    ('braces in literals, comments and lines of the preprocessor', 'a.cpp',
     'namespace {\nvoid k()\n' + body(61, '    s = "}"; c = \'}\'; r = R"x(})x"; w = L\'}\'; // }\n    /* } */ n = 1\'000;\n#define C }\n')
     + '}\n', ['k: 61']),
    ('nested blocks and lambdas count with their function', 'a.cpp',
     'void m()\n{\n    auto l = [](int x) {\n' + '        x++;\n' * 30 + '    };\n    if (ok) {\n'
     + '        go();\n' * 30 + '    }\n}\n', ['m: 66']),
    ('data, types and enumerations are no functions', 'a.cpp',
     'const int t[] = {\n' + '    1,\n' * 70 + '};\nstruct S\n{\n' + '    int a;\n' * 70 + '};\n'
     + 'enum class E : int {\n' + '    e,\n' * 70 + '};\nint v{\n' + '    1\n' * 70 + '};\n', []),
    ('python functions', 'tool',
     '#!/usr/bin/env python3\nclass C:\n    def h(self):\n' + '        x = 1\n' * 60
     + 'def g():\n' + '    pass\n' * 60, ['h: 61', 'g: 61']),
    ('other files are not read', 'notes.txt', 'void a()\n' + body(90), []),
]


class LongFunctions(unittest.TestCase):
    def check(self, name, source, expected, limit=[]):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, name)
            with open(path, 'w') as f:
                f.write(source)
            run = subprocess.run([sys.executable, TOOL] + limit + [folder], capture_output=True, text=True)
            found = [line.split(': ', 1)[1] for line in run.stdout.splitlines()]
            self.assertEqual(found, [e + ' lines' for e in expected], run.stderr)
            self.assertEqual(run.returncode, 1 if expected else 0)
            self.assertTrue(all(line.startswith(path + ':') for line in run.stdout.splitlines()))

    def test_cases(self):
        for what, name, source, expected in CASES:
            with self.subTest(what):
                self.check(name, source, expected)

    def test_limit_is_settable(self):
        source = 'void a()\n' + body(60) + 'void b()\n' + body(61)
        self.check('a.cpp', source, [], ['--max', '61'])
        self.check('a.cpp', source, ['a: 60', 'b: 61'], ['--max', '59'])


if __name__ == '__main__':
    unittest.main()
