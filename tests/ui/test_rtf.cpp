// The help file's RTF reader: formatting spans, paragraphs, escapes, lists, group state, and
// input that is broken on purpose.
#include "ui/RtfReader.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>

namespace {

// One line per document: paragraphs joined by "|", each run wrapped in tags for its formatting,
// list and indent properties in front of the paragraph.
QString Describe(const RtfDocument &doc)
{
    QStringList paragraphs;
    for (const RtfParagraph &p : doc.paragraphs) {
        QString s;
        if (p.bullet)
            s += "* ";
        if (!p.marker.isEmpty())
            s += "[" + p.marker + "] ";
        QStringList props;
        if (p.leftIndent)
            props << QString("li%1").arg(p.leftIndent);
        if (p.firstIndent)
            props << QString("fi%1").arg(p.firstIndent);
        if (p.align == RtfAlign::Center)
            props << "qc";
        if (p.align == RtfAlign::Right)
            props << "qr";
        if (!props.isEmpty())
            s += "{" + props.join(',') + "}";
        for (const RtfRun &run : p.runs) {
            QStringList tags;
            const RtfCharFormat &f = run.format;
            if (f.bold)
                tags << "b";
            if (f.italic)
                tags << "i";
            if (f.underline)
                tags << "u";
            if (f.strike)
                tags << "s";
            if (f.halfPoints != 24)
                tags << QString("fs%1").arg(f.halfPoints);
            if (f.script > 0)
                tags << "sup";
            QString text = run.text;
            text.replace(QChar::LineSeparator, "<br>").replace('\t', "<tab>");
            for (const QString &t : tags)
                s += "<" + t + ">";
            s += text;
            for (auto it = tags.crbegin(); it != tags.crend(); ++it)
                s += "</" + *it + ">";
        }
        paragraphs << s;
    }
    return paragraphs.join('|');
}

QString Parse(const QByteArray &rtf)
{
    return Describe(ParseRtf(rtf));
}

struct Case {
    const char *name;
    const char *rtf;
    const char16_t *expected;
};

const Case kCases[] = {
    {"plain", R"({\rtf1\ansi Hello world})", u"Hello world"},
    {"bold group", R"({\rtf1 a {\b bold} c})", u"a <b>bold</b> c"},
    {"bold off with 0", R"({\rtf1 \b on\b0  off})", u"<b>on</b> off"},
    {"italic and underline", R"({\rtf1 \i it\i0 \ul un\ulnone  x \ul y\ul0 z})", u"<i>it</i><u>un</u> x <u>y</u>z"},
    {"combined spans", R"({\rtf1 {\b\i\ul all} none})", u"<b><i><u>all</u></i></b> none"},
    {"paragraphs", R"({\rtf1 one\par two\par three})", u"one|two|three"},
    {"empty paragraph kept", R"({\rtf1 one\par\par two\par})", u"one||two"},
    {"backslash line end is par", "{\\rtf1 one\\\ntwo}", u"one|two"},
    {"line and tab", R"({\rtf1 a\line b\tab c})", u"a<br>b<tab>c"},
    {"line ends in source are not text", "{\\rtf1 sp\r\nlit}", u"split"},
    {"hex escapes cp1252", R"({\rtf1 caf\'e9 \'80 \'93q\'94 \'a9})", u"café € “q” ©"},
    {"literal braces and backslash", R"({\rtf1 \{x\} \\ y})", u"{x} \\ y"},
    {"special symbols", R"({\rtf1 a\~b\emdash c\endash d\lquote e\rquote \ldblquote f\rdblquote })",
     u"a\u00A0b—c–d‘e’“f”"},
    {"space words", R"({\rtf1 a\emspace b\enspace c\qmspace d})", u"a\u2003b\u2002c\u2002d"},
    {"unicode with default skip", R"({\rtf1 \u8364?uro})", u"€uro"},
    {"unicode skip counts hex escape", R"({\rtf1 \u233\'e9x})", u"éx"},
    {"uc2 skips two", R"({\rtf1\uc2 \u8364xyZ})", u"€Z"},
    {"uc0 skips nothing", R"({\rtf1\uc0 \u8364 x})", u"€x"},
    {"negative unicode surrogate pair", R"({\rtf1 \u-10179?\u-8704?!})", u"\U0001F600!"},
    {"lone surrogate replaced", R"({\rtf1 \u-10179?x})", u"\uFFFDx"},
    {"group end stops skipping", R"({\rtf1\uc3 {\u233}abc})", u"éabc"},
    {"uc is group scoped", R"({\rtf1 {\uc0 \u233}\u233xy})",
     u"éé"
     "y"},
    {"font size", R"({\rtf1 {\fs40 big}\fs16 small})", u"<fs40>big</fs40><fs16>small</fs16>"},
    {"nested groups restore", R"({\rtf1 {\b bold {\i both} bold2} plain})",
     u"<b>bold </b><b><i>both</i></b><b> bold2</b> plain"},
    {"plain resets", R"({\rtf1 \b\i\fs30 x\plain y})", u"<b><i><fs30>x</fs30></i></b>y"},
    {"destinations skipped",
     R"({\rtf1\ansi\deff0{\fonttbl{\f0\fswiss Arial;}}{\colortbl;\red255\green0\blue0;})"
     R"({\stylesheet{\s0 Normal;}}{\info{\title T}{\author A}}{\*\generator Gen 1.0;})"
     R"({\pict\pngblip 89504e47}{\*\unknowndest junk}{\header head}shown})",
     u"shown"},
    {"field shows its result only", R"({\rtf1 see {\field{\*\fldinst HYPERLINK "x"}{\fldrslt here}} now})",
     u"see here now"},
    {"hidden text", R"({\rtf1 a{\v secret}b})", u"ab"},
    {"bin data skipped", R"({\rtf1 a\bin3 {}}b})", u"ab"},
    {"upr shows the unicode part", R"({\rtf1 {\upr{ansi}{\*\ud{\u233?}}}})", u"é"},
    {"text after the document ends is dropped", R"({\rtf1 a}junk)", u"a"},
    {"bullet list with pn",
     R"({\rtf1{\fonttbl{\f0 Arial;}{\f1\fcharset2 Symbol;}})"
     R"(\pard{\pntext\f1\'B7\tab}{\*\pn\pnlvlblt\pnf1\pnindent0{\pntxtb\'B7}}\fi-720\li720 one\par)"
     R"({\pntext\f1\'B7\tab}two\par)"
     R"(\pard three\par})",
     u"* {li720,fi-720}one|* {li720,fi-720}two|three"},
    {"bullet list from listtext", R"({\rtf1 {\listtext\pard\plain\f2 \'b7\tab}\ls1\li360 item\par})", u"* {li360}item"},
    {"pn bullet without pntext", R"({\rtf1 {\*\pn\pnlvlblt}\li720 x\par})", u"* {li720}x"},
    {"numbered item keeps its label", R"({\rtf1 {\pntext 1.\tab}{\*\pn\pnlvlbody\pndec}\li360\fi-360 first\par})",
     u"[1.] {li360,fi-360}first"},
    {"bullet word in text", R"({\rtf1 \bullet  item})", u"\u2022 item"},
    {"indent and alignment", R"({\rtf1 \li720 in\par\pard\qc mid\par\pard\qr end})", u"{li720}in|{qc}mid|{qr}end"},
    {"pard ends a list", R"({\rtf1 {\*\pn\pnlvlblt}a\par\pard b})", u"* a|b"},
    {"symbol font bullet in text", R"({\rtf1{\fonttbl{\f1\fnil\fcharset2 Symbol;}}{\f1 \'b7} x})", u"\u2022 x"},
};

} // namespace

TEST(RtfReader, TableOfCases)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.rtf).toStdString(), QString::fromUtf16(c.expected).toStdString());
    }
}

TEST(RtfReader, SpacingAndSizeAreKept)
{
    const RtfDocument doc = ParseRtf(R"({\rtf1 \sb240\sa120\ri300 x\par})");
    ASSERT_EQ(doc.paragraphs.size(), 1);
    EXPECT_EQ(doc.paragraphs[0].spaceBefore, 240);
    EXPECT_EQ(doc.paragraphs[0].spaceAfter, 120);
    EXPECT_EQ(doc.paragraphs[0].rightIndent, 300);
}

TEST(RtfReader, RendersIntoTextDocument)
{
    QTextDocument doc;
    LoadRtf(&doc, R"({\rtf1 {\b Title}\par plain {\i it}\par)"
                  R"({\pntext\'b7\tab}{\*\pn\pnlvlblt}\li720\fi-360 one\par{\pntext\'b7\tab}two\par\pard end})");
    ASSERT_EQ(doc.blockCount(), 5);
    QTextBlock title = doc.firstBlock();
    EXPECT_EQ(title.text(), "Title");
    EXPECT_EQ(title.begin().fragment().charFormat().fontWeight(), QFont::Bold);

    QTextBlock second = title.next();
    EXPECT_EQ(second.text(), "plain it");
    bool sawItalic = false;
    for (auto it = second.begin(); !it.atEnd(); ++it) {
        const QTextFragment f = it.fragment();
        if (f.text() == "it")
            sawItalic = f.charFormat().fontItalic();
        else
            EXPECT_FALSE(f.charFormat().fontItalic());
    }
    EXPECT_TRUE(sawItalic);

    QTextBlock one = second.next();
    QTextBlock two = one.next();
    ASSERT_NE(one.textList(), nullptr);
    EXPECT_EQ(one.textList(), two.textList()); // one list, two items
    EXPECT_EQ(one.textList()->format().style(), QTextListFormat::ListDisc);
    EXPECT_EQ(one.text(), "one");
    EXPECT_EQ(two.next().textList(), nullptr);

    const QString html = RtfToHtml(R"({\rtf1 {\b strong} word})");
    EXPECT_TRUE(html.contains("font-weight:700")) << html.toStdString();
    EXPECT_TRUE(html.contains("strong"));
}

TEST(RtfReader, HostileInputNeverBreaksIt)
{
    // Unbalanced braces, both ways.
    EXPECT_EQ(Parse("{\\rtf1 {{{ text").toStdString(), " text");
    EXPECT_EQ(Parse("}}}} a {\\b b}}}}").toStdString(), " a <b>b</b>");

    // Truncated in the middle of every kind of token.
    for (const char *cut : {"{\\rtf1 x\\", "{\\rtf1 x\\'", "{\\rtf1 x\\'4", "{\\rtf1 x\\u", "{\\rtf1 x\\u-",
                            "{\\rtf1 x\\u65", "{\\rtf1 x\\bin999999999 ", "{\\rtf1 x{\\*", "{\\rtf1 x\\pntext"}) {
        SCOPED_TRACE(cut);
        EXPECT_TRUE(Parse(cut).startsWith('x'));
    }

    // Huge numbers are clamped.
    const RtfDocument huge = ParseRtf("{\\rtf1 \\fs99999999999999\\li-99999999999 x\\par}");
    ASSERT_EQ(huge.paragraphs.size(), 1);
    EXPECT_LE(huge.paragraphs[0].runs[0].format.halfPoints, 800);
    EXPECT_GE(huge.paragraphs[0].leftIndent, -31680);

    // Very deep nesting: far beyond the cap, the text still comes out and nothing recurses.
    const int deep = 200000;
    QByteArray nested = "{\\rtf1 " + QByteArray(deep, '{') + "deep" + QByteArray(deep, '}') + " after}";
    EXPECT_EQ(Parse(nested).toStdString(), "deep after");

    // State below the cap is restored; levels beyond it share the deepest saved state.
    const int levels = RtfMaxDepth + 100;
    QByteArray bold = "{\\rtf1 ";
    for (int i = 0; i < levels; ++i)
        bold += "{\\b ";
    bold += "x" + QByteArray(levels, '}') + " y}";
    EXPECT_EQ(Parse(bold).toStdString(), "<b>x</b> y");

    // Binary garbage, weighted towards the characters that drive the parser.
    QRandomGenerator rng(1234);
    const QByteArray alphabet = "{}\\'*ubinfsparlipntext0123456789-? \r\n\x80\xff";
    for (int round = 0; round < 300; ++round) {
        QByteArray junk(int(rng.bounded(1, 4000)), '\0');
        for (char &c : junk)
            c = rng.bounded(3) == 0 ? char(rng.bounded(256)) : alphabet[int(rng.bounded(alphabet.size()))];
        if (round % 2 == 0)
            junk.prepend("{\\rtf1 ");
        const RtfDocument doc = ParseRtf(junk);
        for (const RtfParagraph &p : doc.paragraphs)
            for (const RtfRun &r : p.runs)
                EXPECT_FALSE(r.text.contains(QChar(0)));
        if (round % 50 == 0) {
            QTextDocument rendered;
            RenderRtf(doc, &rendered);
            EXPECT_GE(rendered.blockCount(), 1);
        }
    }
}
