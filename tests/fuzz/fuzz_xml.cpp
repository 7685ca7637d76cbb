// XML tag extraction (XML_TAG): the input is the document, handed over as a block of exactly
// its size without a terminator. Each input is run in a directory of its own, since the
// routine writes its work file and the result in the current directory; the fuzzer's own
// paths (corpus, artifacts) stay relative to where it was started.
//
// What must hold: the routine never reads past the block; it returns as many lines as it
// wrote, each "path<TAB>text" with a text that is not empty and has no blanks around it; it
// leaves no work file behind, whether it succeeded or not; the only failure it may raise for
// a document in memory is the depth limit; a second call gives the same answer, so nothing
// of one call's scan is left for the next.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr char out_name[] = "out";  // no "." in the name: lines end with LF alone
constexpr char work_name[] = "xml_tag_wrk.tmp";

std::string dir;
int home = -1;  // the directory the fuzzer was started in

void remove_dir() {
    if (!dir.empty()) std::filesystem::remove_all(dir);
}

std::string whole(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Result {
    std::uint16_t lines = 0;
    std::string why;  // the failure, "" for none
    std::string out;  // what the result file holds
};

Result extract(const fuzz::Bytes& doc) {
    Result r;
    r.lines = XML_TAG(doc.get(), static_cast<std::uint32_t>(doc.size()), nullptr, out_name);
    r.why = fuzz::take_error();
    r.out = whole(out_name);
    std::remove(out_name);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_xml_XXXXXX";
    if (!mkdtemp(pattern.data())) fuzz::fail("no directory to work in");
    dir = pattern;
    home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0) fuzz::fail("the current directory cannot be reopened");
    std::atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::clear_error();
    if (chdir(dir.c_str()) != 0) fuzz::fail("cannot enter %s", dir.c_str());
    struct Back {
        ~Back() {
            if (fchdir(home) != 0) std::abort();
        }
    } back;
    const fuzz::Bytes doc(data, size, false);
    const Result first = extract(doc);
    const std::uint16_t lines = first.lines;
    const std::string& why = first.why;
    if (!why.empty() && why.find("Infinite recursion suspected") == std::string::npos)
        fuzz::fail("XML_TAG raised \"%s\"", why.c_str());
    if (!why.empty() && lines != 0) fuzz::fail("XML_TAG failed and returned %u", lines);
    if (access(work_name, F_OK) == 0) fuzz::fail("XML_TAG left its work file behind");

    const std::string& out = first.out;
    std::size_t written = 0;
    for (std::size_t at = 0; at < out.size();) {
        std::size_t end = out.find('\n', at);
        if (end == std::string::npos) fuzz::fail("the last line has no line end");
        const std::string line = out.substr(at, end - at);
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find('\r') != std::string::npos)
            fuzz::fail("line \"%s\" is not path<TAB>text", line.c_str());
        const std::string text = line.substr(tab + 1);
        const auto blank = [](char c) { return c == ' ' || c == '\t'; };
        if (text.empty() || blank(text.front()) || blank(text.back()))
            fuzz::fail("line \"%s\" has an empty or untrimmed text", line.c_str());
        ++written;
        at = end + 1;
    }
    if (why.empty() && written != lines)
        fuzz::fail("XML_TAG returned %u and wrote %zu lines", lines, written);

    const Result again = extract(doc);
    if (again.lines != first.lines || again.why != first.why || again.out != first.out)
        fuzz::fail("a second call answered otherwise");
    return 0;
}
