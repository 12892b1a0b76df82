// XML parsing speed: CXML_Element::Parse against expat and pugixml on the same document,
// in one run.
//
//   cmake --build <build> --target xml_bench
//   <build>/bench/xml/xml_bench [--size-mb N] [--rounds N] [--only ours|expat|pugixml]
//
// The document is shaped like the update server's reply: a root element holding module
// elements with twelve attributes each (names, versions, sizes, descriptions with
// multibyte UTF-8, addresses with character references), a short text in each module and
// a comment before every tenth one; N (default 50) MB = N * 10^6 bytes.
//
// Each parser runs in a child process of its own, forked while this process is still
// small, so that the peak resident memory wait4 reports for it (ru_maxrss) holds that
// parser's memory and the document only, not another's. A child builds the document,
// parses it once to warm up and then `rounds` (default 3) times timed:
//   ours     CXML_Element::Parse with whitespace trimming, as the updater calls it, then a
//            walk over every child and every attribute; the tree is deleted after each.
//   expat    XML_Parse over the whole buffer with start-element and character-data
//            callbacks that visit every attribute (expat builds no tree).
//   pugixml  xml_document::load_buffer with the default options (it copies the buffer and
//            builds the full tree), then the same walk; the document is reset after each.
// Each child also counts elements and attributes; the counts of all three must agree.
//
// Printed per parser: every round in MB/s (10^6 bytes per wall-clock second), the best
// round, the peak resident memory, and the ratios of the best rounds ours:expat and
// ours:pugixml, with ours' peak memory against pugixml's.
//
// The requirement shown: ours at least 2x expat, at least 0.5x pugixml, peak memory at
// most 1.5x pugixml's. Exit status: 0 when the counts agree and the requirement holds,
// 1 otherwise, 2 for bad arguments.

#include "xmlattrmap.h"
#include "xmlelement.h"

#include <expat.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kMaxRounds = 32;

struct Options
{
    long long sizeMB = 50;
    int rounds = 3;
    std::string only;
};

bool parseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mb" && i + 1 < argc)
            o->sizeMB = std::atoll(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            o->rounds = std::atoi(argv[++i]);
        else if (a == "--only" && i + 1 < argc)
            o->only = argv[++i];
        else
            return false;
    }
    return o->sizeMB > 0 && o->rounds > 0 && o->rounds <= kMaxRounds
        && (o->only.empty() || o->only == "ours" || o->only == "expat" || o->only == "pugixml");
}

double wallNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ---- the document ----

// A reply of about `bytes` bytes. The string's capacity is reserved first and never
// outgrown, so the document costs its own size in memory and no more.
std::string makeDocument(long long bytes, long long* modules)
{
    static const char* const kTypes[] = {"plugin", "language", "patch", "updater"};
    static const char* const kDescriptions[] = {
        "Adds the caf\xc3\xa9 stamp set &amp; na\xc3\xafve r\xc3\xa9sum\xc3\xa9 templates to the reader",
        "Optical character recognition for scanned pages &#8212; 24 languages &lt;beta&gt;",
        "\xe6\x96\x87\xe6\xa1\xa3\xe7\xbf\xbb\xe8\xaf\x91 \xe2\x80\x94 translation of whole documents, &#x4E2D;&#x6587; included",
        "Security fix for the form filler: stricter checks of &quot;submit&quot; actions",
    };
    const char* const head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<moduleList majorUpdate=\"true\">\n";
    const char* const tail = "</moduleList>\n";
    std::string doc;
    doc.reserve(size_t(bytes) + 4096);
    doc += head;
    char line[2048];
    long long n = 0;
    const size_t limit = size_t(bytes) - std::strlen(tail);
    for (;; ++n) {
        const char* type = kTypes[n % 4];
        int len = 0;
        if (n % 10 == 0)
            len += std::snprintf(line + len, sizeof line - size_t(len), "  <!-- group %lld -->\n", n / 10);
        len += std::snprintf(line + len, sizeof line - size_t(len),
            "  <module name=\"Module_%06lld\" title=\"Moravel Module %lld &amp; Tools\" version=\"12.%lld.%lld.%lld\""
            " size=\"%lld\" description=\"%s\""
            " url=\"https://download.moravel.invalid/addons/12.%lld/Module_%06lld.zip?lang=en&amp;os=linux\""
            " regkey=\"SOFTWARE\\Moravel\\Reader\\Addons\\Module_%06lld\" level=\"%lld\" module_type=\"%s\""
            " parent=\"Reader\" result=\"%s\" update_mode=\"%lld\">Notes for %lld: fixes &amp; improvements."
            "</module>\n",
            n, n, n % 10, n % 1000, n * 7 % 10000, 100000 + n * 37 % 90000000, kDescriptions[n % 4], n % 10, n, n,
            n % 5, type, n % 3 ? "true" : "false", n % 3, n);
        if (doc.size() + size_t(len) > limit)
            break;
        doc.append(line, size_t(len));
    }
    doc += tail;
    *modules = n;
    return doc;
}

// ---- what a child reports ----

struct Report
{
    int ok = 0;
    int rounds = 0;
    double seconds[kMaxRounds] = {};
    long long elements = 0;
    long long attributes = 0;
    long long modules = 0;  // module elements in the document
    long long docBytes = 0; // the document's exact size
};

// ---- ours ----

void walkOurs(const CXML_Element* pRoot, Report* r)
{
    long long elements = 0;
    long long attributes = 0;
    std::vector<const CXML_Element*> pending{pRoot};
    while (!pending.empty()) {
        const CXML_Element* e = pending.back();
        pending.pop_back();
        ++elements;
        const int32_t attrs = e->CountAttrs();
        for (int32_t i = 0; i < attrs; ++i) {
            const CXML_AttrItem* item = e->GetAttrMap().GetAt(i);
            attributes += item && item->m_AttrName.GetLength() > 0 && item->m_Value.GetLength() >= 0;
        }
        const int32_t children = e->CountChildren();
        for (int32_t i = 0; i < children; ++i) {
            if (const CXML_Element* c = e->GetElement(i))
                pending.push_back(c);
        }
    }
    r->elements = elements;
    r->attributes = attributes;
}

bool parseOurs(const std::string& doc, Report* r)
{
    CXML_Element* root = CXML_Element::Parse(doc.data(), doc.size());
    if (!root)
        return false;
    walkOurs(root, r);
    delete root;
    return true;
}

// ---- expat ----

struct ExpatCounts
{
    long long elements = 0;
    long long attributes = 0;
    long long textBytes = 0;
};

void XMLCALL expatStart(void* data, const XML_Char*, const XML_Char** attrs)
{
    auto* c = static_cast<ExpatCounts*>(data);
    ++c->elements;
    for (int i = 0; attrs[i]; i += 2)
        c->attributes += attrs[i][0] != 0 && attrs[i + 1] != nullptr;
}

void XMLCALL expatText(void* data, const XML_Char*, int len)
{
    static_cast<ExpatCounts*>(data)->textBytes += len;
}

bool parseExpat(const std::string& doc, Report* r)
{
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (!parser)
        return false;
    ExpatCounts counts;
    XML_SetUserData(parser, &counts);
    XML_SetStartElementHandler(parser, expatStart);
    XML_SetCharacterDataHandler(parser, expatText);
    const bool ok = XML_Parse(parser, doc.data(), int(doc.size()), 1) == XML_STATUS_OK;
    if (!ok)
        std::fprintf(stderr, "expat: %s at line %lu\n", XML_ErrorString(XML_GetErrorCode(parser)),
                     (unsigned long)XML_GetCurrentLineNumber(parser));
    XML_ParserFree(parser);
    r->elements = counts.elements;
    r->attributes = counts.attributes;
    return ok;
}

// ---- pugixml ----

bool parsePugixml(const std::string& doc, Report* r)
{
    pugi::xml_document xml;
    const pugi::xml_parse_result result = xml.load_buffer(doc.data(), doc.size());
    if (!result)
        return false;
    long long elements = 0;
    long long attributes = 0;
    std::vector<pugi::xml_node> pending{xml.document_element()};
    while (!pending.empty()) {
        const pugi::xml_node e = pending.back();
        pending.pop_back();
        ++elements;
        for (pugi::xml_attribute a = e.first_attribute(); a; a = a.next_attribute())
            attributes += a.name()[0] != 0 && a.value() != nullptr;
        for (pugi::xml_node c = e.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element)
                pending.push_back(c);
        }
    }
    r->elements = elements;
    r->attributes = attributes;
    return true;
}

// ---- the children ----

using ParseFn = bool (*)(const std::string&, Report*);

// In a child: builds the document, warms up, runs the timed rounds.
Report runChild(ParseFn parse, long long bytes, int rounds)
{
    Report r;
    const std::string doc = makeDocument(bytes, &r.modules);
    r.docBytes = (long long)(doc.size());
    if (!parse(doc, &r))
        return r;
    for (int i = 0; i < rounds; ++i) {
        Report round;
        const double t0 = wallNow();
        if (!parse(doc, &round))
            return r;
        r.seconds[i] = wallNow() - t0;
        if (round.elements != r.elements || round.attributes != r.attributes)
            return r;
    }
    r.rounds = rounds;
    r.ok = 1;
    return r;
}

struct Side
{
    Side(const char* n, ParseFn p, const char* w) : name(n), parse(p), what(w) {}
    const char* name;
    ParseFn parse;
    const char* what;
    bool wanted = true;
    pid_t pid = -1;
    int pipe = -1;
    Report report;
    long long peakKiB = 0;
};

bool startChild(Side* s, long long bytes, int rounds)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::close(fds[0]);
        const Report r = runChild(s->parse, bytes, rounds);
        const ssize_t w = ::write(fds[1], &r, sizeof r);
        ::_exit(w == ssize_t(sizeof r) ? 0 : 1);
    }
    ::close(fds[1]);
    s->pid = pid;
    s->pipe = fds[0];
    return true;
}

bool finishChild(Side* s)
{
    size_t got = 0;
    auto* out = reinterpret_cast<char*>(&s->report);
    while (got < sizeof s->report) {
        const ssize_t n = ::read(s->pipe, out + got, sizeof s->report - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(s->pipe);
    int status = 0;
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    pid_t done;
    do
        done = ::wait4(s->pid, &status, 0, &usage);
    while (done < 0 && errno == EINTR);
    s->peakKiB = usage.ru_maxrss;
    return done == s->pid && got == sizeof s->report && WIFEXITED(status) && WEXITSTATUS(status) == 0
        && s->report.ok;
}

double best(const Report& r)
{
    double b = r.seconds[0];
    for (int i = 1; i < r.rounds; ++i)
        b = std::min(b, r.seconds[i]);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: %s [--size-mb N] [--rounds N] [--only ours|expat|pugixml]\n", argv[0]);
        return 2;
    }
    const long long bytes = opt.sizeMB * 1000000;
    Side sides[] = {
        {"ours", parseOurs, "CXML_Element::Parse, full tree, walked"},
        {"expat", parseExpat, "callbacks only, no tree"},
        {"pugixml", parsePugixml, "load_buffer, full tree, walked"},
    };
    const XML_Expat_Version ev = XML_ExpatVersionInfo();
    std::printf("xml_bench: CXML_Element::Parse against expat %d.%d.%d and pugixml %d.%d\n", ev.major, ev.minor,
                ev.micro, PUGIXML_VERSION / 1000, PUGIXML_VERSION % 1000 / 10);
    std::printf("input:   %lld MB requested (10^6 bytes), built by each child in its own memory\n", opt.sizeMB);
    std::printf("rounds:  1 warm-up + %d timed per parser, each parser in its own process\n\n", opt.rounds);

    bool ok = true;
    for (Side& s : sides) {
        s.wanted = opt.only.empty() || opt.only == s.name;
        if (!s.wanted)
            continue;
        // One child at a time: they would otherwise share the two processors.
        if (!startChild(&s, bytes, opt.rounds) || !finishChild(&s)) {
            std::printf("  %-8s failed\n", s.name);
            ok = false;
            s.wanted = false;
            continue;
        }
        if (&s == &sides[0] || opt.only == s.name)
            std::printf("  document: %lld bytes, %lld module elements with 12 attributes each\n\n",
                        s.report.docBytes, s.report.modules);
        std::printf("  %-8s (%s)\n           rounds:", s.name, s.what);
        for (int i = 0; i < s.report.rounds; ++i)
            std::printf(" %7.1f", double(s.report.docBytes) / 1e6 / s.report.seconds[i]);
        std::printf(" MB/s\n           best %7.1f MB/s   peak RSS %7.1f MiB   elements %lld, attributes %lld\n",
                    double(s.report.docBytes) / 1e6 / best(s.report), double(s.peakKiB) / 1024.0, s.report.elements,
                    s.report.attributes);
    }
    const Side& ours = sides[0];
    const Side& expat = sides[1];
    const Side& pugi = sides[2];
    for (const Side& s : sides) {
        if (s.wanted && ours.wanted
            && (s.report.elements != ours.report.elements || s.report.attributes != ours.report.attributes)) {
            std::printf("  counts of %s differ from ours\n", s.name);
            ok = false;
        }
    }
    if (!ours.wanted || !expat.wanted || !pugi.wanted)
        return ok ? 0 : 1;
    const double vsExpat = best(expat.report) / best(ours.report);
    const double vsPugi = best(pugi.report) / best(ours.report);
    const double memory = double(ours.peakKiB) / double(pugi.peakKiB);
    std::printf("\n  ours:expat   %.2fx (required: at least 2x)\n", vsExpat);
    std::printf("  ours:pugixml %.2fx (required: at least 0.5x)\n", vsPugi);
    std::printf("  peak memory ours:pugixml %.2fx (required: at most 1.5x)\n", memory);
    const bool holds = vsExpat >= 2.0 && vsPugi >= 0.5 && memory <= 1.5;
    std::printf("  requirement %s\n", holds ? "holds" : "does NOT hold");
    return ok && holds ? 0 : 1;
}
