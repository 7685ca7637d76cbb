// XML tag extraction: paths, texts, skipped constructs, document order, depth and malformed
// buffers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char wrk[] = "xml_tag_wrk.tmp";

using namespace lbtest;

// "out.txt" has a "." in its name, so its lines end with CR LF.
std::string crlf_lines(std::initializer_list<std::string> lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\r\n";
    return all;
}

std::string repeat(const std::string& s, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += s;
    return all;
}

// k elements "e" nested in each other, the innermost holding "x".
std::string nest(int k) { return repeat("<e>", k) + "x" + repeat("</e>", k); }

class Xml : public lbtest::InTempDir<> {
protected:
    Xml() : InTempDir("fl_xml_", 022) {}

    // Runs XML_TAG on a heap block of exactly the document's size (no terminator), so that
    // the sanitizers catch any read past its end.
    std::uint16_t run(const std::string& doc) {
        std::unique_ptr<char[]> block(new char[doc.size() ? doc.size() : 1]);
        std::memcpy(block.get(), doc.data(), doc.size());
        return XML_TAG(block.get(), static_cast<std::uint32_t>(doc.size()), nullptr, "out.txt");
    }
    std::string out() const { return get_file("out.txt"); }
    bool work_left() const { return fs::exists(wrk); }
};

using Flattening = Xml;
using Skipping = Xml;
using DocumentOrder = Xml;
using Depth = Xml;
using Malformed = Xml;
using XmlFailures = Xml;

}  // namespace

// ---- Paths and texts --------------------------------------------------------------------

TEST_F(Flattening, OneLinePerElementWithTextOfItsOwn) {
    EXPECT_EQ(run("<a><b>1</b><c>x &amp; y</c></a>"), 2);
    EXPECT_EQ(out(), crlf_lines({"a:b\t1", "a:c\tx & y"}));
    EXPECT_FALSE(work_left());
    EXPECT_FALSE(err_);
}

TEST_F(Flattening, OnlyTheTextBeforeTheFirstChildCounts) {
    EXPECT_EQ(run("<a> top <b>1</b> after </a>"), 2);
    EXPECT_EQ(out(), crlf_lines({"a\ttop", "a:b\t1"}));
}

TEST_F(Flattening, AttributesAreDroppedFromThePath) {
    EXPECT_EQ(run("<item id=\"3\">v</item>"), 1);
    EXPECT_EQ(out(), crlf_lines({"item\tv"}));
    // Attributes on the following lines, and blanks around the name.
    EXPECT_EQ(run("<list><item\r\n  id='3'\tkind='x'>v</item>< row >w</row></list>"), 2);
    EXPECT_EQ(out(), crlf_lines({"list:item\tv", "list:row\tw"}));
}

TEST_F(Flattening, EndTagsMatchWithoutRegardToCase) {
    EXPECT_EQ(run("<Feed><Title>T</TITLE><title>u</title></feed>"), 2);
    EXPECT_EQ(out(), crlf_lines({"Feed:Title\tT", "Feed:title\tu"}));
}

TEST_F(Flattening, LineBreaksBecomeSpacesAndEntitiesDecodeInTheirOrder) {
    // "&amp;lt;" stays "&lt;" (lt is decoded before amp), "&amp;quot;" becomes a quote
    // (quot after amp); entity names in any case.
    EXPECT_EQ(run("<t>\r\n  a &LT;b&gt; &amp;lt; &amp;quot; &apos;q&Quot;\n\r c \t</t>"), 1);
    EXPECT_EQ(out(), crlf_lines({"t\ta <b> &lt; \" 'q\"   c"}));
}

TEST_F(Flattening, BlankTextsGiveNoLine) {
    EXPECT_EQ(run("<a> \r\n\t <b></b><c>0</c></a>"), 1);
    EXPECT_EQ(out(), crlf_lines({"a:c\t0"}));
}

TEST_F(Flattening, NothingFoundLeavesAnEmptyOutputFile) {
    put_file("out.txt", "old contents\n");
    EXPECT_EQ(run("plain text, no tags"), 0);
    EXPECT_TRUE(fs::exists("out.txt"));
    EXPECT_EQ(out(), "");
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(out(), "");
    EXPECT_FALSE(err_);
}

TEST_F(Flattening, AStaleWorkFileIsDiscardedFirst) {
    put_file(wrk, "000\tstale\tline\r\n");
    EXPECT_EQ(run("<a>1</a>"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\t1"}));
    EXPECT_FALSE(work_left());
}

// ---- Skipped constructs -----------------------------------------------------------------

TEST_F(Skipping, DeclarationsCommentsCdataAndEmptyElementsGiveNothing) {
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r><!-- <c>no</c> -- > --><x/><y a='1' />"
        "<![CDATA[<d>no</d> ]] >]]><>"
        "<e>1</e><?pi <f>no</f> ?></r>";
    EXPECT_EQ(run(doc), 1);
    EXPECT_EQ(out(), crlf_lines({"r:e\t1"}));
}

TEST_F(Skipping, CommentsAndCdataMayStandBetweenAnElementsTextAndItsChildren) {
    EXPECT_EQ(run("<a>t<!--c--><b>1</b><![CDATA[x]]><c>2</c></a>"), 3);
    EXPECT_EQ(out(), crlf_lines({"a\tt", "a:b\t1", "a:c\t2"}));
}

TEST_F(Skipping, TheRssTagIsNotPartOfThePaths) {
    EXPECT_EQ(run("<RSS Version=\"2.0\"><channel><title>T</title>"
                  "<item><title>x</title></item></channel></rss>"),
              2);
    EXPECT_EQ(out(), crlf_lines({"channel:title\tT", "channel:item:title\tx"}));
}

// ---- Document order ---------------------------------------------------------------------

TEST_F(DocumentOrder, ParentsComeBeforeTheirChildrenAtEveryDepth) {
    EXPECT_EQ(run("<r><a>t<b>u<c>1</c></b><d>2</d></a><e>3</e></r>"), 5);
    EXPECT_EQ(out(), crlf_lines({"r:a\tt", "r:a:b\tu", "r:a:b:c\t1", "r:a:d\t2", "r:e\t3"}));
}

TEST_F(DocumentOrder, SeveralTopLevelElementsKeepTheirOrder) {
    // The second element has text of its own, the first only through its child.
    EXPECT_EQ(run("<b><x>1</x></b><a>t</a><c>u<y>2</y></c>"), 4);
    EXPECT_EQ(out(), crlf_lines({"b:x\t1", "a\tt", "c\tu", "c:y\t2"}));
}

TEST_F(DocumentOrder, HoldsForMoreThanAThousandLines) {
    // 1,500 items, each with text of its own and a child: 3,001 lines, of which parents and
    // children share their sort numbers far beyond 999.
    std::string doc = "<r>head";
    std::string want = "r\thead\r\n";
    for (int i = 0; i < 1500; ++i) {
        const std::string v = std::to_string(i);
        doc += "<i>" + v + "<v>" + v + "</v></i>";
        want += "r:i\t" + v + "\r\nr:i:v\t" + v + "\r\n";
    }
    doc += "</r>";
    EXPECT_EQ(run(doc), 3001);
    EXPECT_EQ(out(), want);
    EXPECT_FALSE(work_left());
}

// ---- Nesting depth ----------------------------------------------------------------------

TEST_F(Depth, FiftyLevelsAreScanned) {
    std::string path = "e";
    for (int i = 1; i < 50; ++i) path += ":e";
    EXPECT_EQ(run(nest(50)), 1);
    EXPECT_EQ(out(), crlf_lines({path + "\tx"}));
    EXPECT_FALSE(err_);
}

TEST_F(Depth, FiftyOneLevelsFailAndKeepWhatWasFoundBefore) {
    EXPECT_EQ(run("<r><ok>1</ok>" + nest(50) + "</r>"), 0);
    EXPECT_EQ(pending(), "Infinite recursion suspected [XML_TAG] [XML_TAG]");
    EXPECT_EQ(out(), crlf_lines({"r:ok\t1"}));
    EXPECT_FALSE(work_left());

    // The next call starts afresh.
    EXPECT_EQ(run(nest(50)), 1);
    EXPECT_FALSE(err_);
}

TEST_F(Depth, AnyTagInsideTheFiftiethLevelCountsAsDeeper) {
    EXPECT_EQ(run(repeat("<e>", 50) + "<!-- c -->" + repeat("</e>", 50)), 0);
    EXPECT_EQ(pending(), "Infinite recursion suspected [XML_TAG] [XML_TAG]");
}

// ---- Malformed buffers ------------------------------------------------------------------

TEST_F(Malformed, UnclosedConstructsEndTheScanAtTheBufferEnd) {
    EXPECT_EQ(run("<a>x<!-- never closed <b>1</b>"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\tx"}));
    EXPECT_EQ(run("<a>x<![CDATA[ <b>1</b> ]]"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\tx"}));
    EXPECT_EQ(run("<a>x<?pi <b>1</b"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\tx"}));
    EXPECT_EQ(run("<a>x</a"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\tx"}));
}

TEST_F(Malformed, AStartTagWithoutItsGreaterThanEndsTheScan) {
    EXPECT_EQ(run("<a>text<b"), 1);
    EXPECT_EQ(out(), crlf_lines({"a\ttext"}));
    EXPECT_EQ(run("<c>1</c><a"), 1);
    EXPECT_EQ(out(), crlf_lines({"c\t1"}));
    // No ">" anywhere after the first of many "<".
    EXPECT_EQ(run("<a>t" + repeat("<b", 20000)), 1);
    EXPECT_EQ(out(), crlf_lines({"a\tt"}));
}

TEST_F(Malformed, UnbalancedTagsAreToleratedAsFarAsTheyGo) {
    // "b" is never closed: it runs to the end and takes "c" as its child.
    EXPECT_EQ(run("<a><b>1</a><c>2</c>"), 2);
    EXPECT_EQ(out(), crlf_lines({"a:b\t1", "a:b:c\t2"}));
    EXPECT_EQ(run("</a></b>x<c>2</c>"), 1);
    EXPECT_EQ(out(), crlf_lines({"c\t2"}));
    EXPECT_EQ(run("<a>1</b></a><d>2</d>"), 2);
    EXPECT_EQ(out(), crlf_lines({"a\t1", "d\t2"}));
}

TEST_F(Malformed, NulBytesEndTextsAndNames) {
    const char doc[] = "<a>x\0y</a><b\0c>2</b\0c>";
    EXPECT_EQ(run(std::string(doc, sizeof doc - 1)), 2);
    EXPECT_EQ(out(), crlf_lines({"a\tx", "b\t2"}));
}

TEST_F(Malformed, EveryTruncationOfADocumentStaysInsideTheBuffer) {
    const std::string doc =
        "<?xml version=\"1.0\"?><!DOCTYPE d><rss version=\"2.0\"><d a=\"1\">t &amp; u"
        "<!-- c --><e/><f>1<![CDATA[<g>]]></f><h\n k='v'>&lt;2&gt;</h></d></rss>";
    ASSERT_EQ(run(doc), 3);
    ASSERT_EQ(out(), crlf_lines({"d\tt & u", "d:f\t1", "d:h\t<2>"}));
    for (std::size_t len = 0; len < doc.size(); ++len) {
        SCOPED_TRACE(len);
        EXPECT_LE(run(doc.substr(0, len)), 3);
        EXPECT_FALSE(err_);
        EXPECT_FALSE(work_left());
    }
}

// ---- Failures ---------------------------------------------------------------------------

TEST_F(XmlFailures, OutputNameIsChecked) {
    const char doc[] = "<a>1</a>";
    EXPECT_EQ(XML_TAG(doc, 8, nullptr, nullptr), 0);
    EXPECT_EQ(pending(), "XML_TAG:fnam=0");
    EXPECT_EQ(XML_TAG(doc, 8, nullptr, ""), 0);
    EXPECT_EQ(pending(), "XML_TAG:fnam=(empty)");
}

TEST_F(XmlFailures, APendingErrorStopsEverything) {
    put_file("out.txt", "kept");
    S_ERR("earlier");
    EXPECT_EQ(run("<a>1</a>"), 0);
    EXPECT_EQ(pending(), "earlier");
    EXPECT_EQ(out(), "kept");
}

TEST_F(XmlFailures, AnOutputThatCannotBeWrittenFailsWithTheOpenError) {
    fs::create_directory("sub");
    put_file("sub/f", "");
    const char doc[] = "<a>1</a>";
    EXPECT_EQ(XML_TAG(doc, 8, nullptr, "sub/f/out.txt"), 0);
    EXPECT_EQ(pending(), "Open error on \"sub/f/out.txt\" [XML_TAG]");
    EXPECT_FALSE(work_left());
}
