// RTF reading in one pass over the bytes: a stack of group states (character and paragraph
// formatting, destination, \uc skip count) and a paragraph under construction. Destinations the
// help window has no use for (font and colour tables, style sheet, document info, pictures,
// anything behind \*) are skipped as whole groups.
#include "ui/RtfReader.h"

#include "core/TextUtil.h"

#include <QHash>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>

#include <algorithm>
#include <vector>

QString RtfParagraph::plainText() const
{
    QString text;
    for (const RtfRun &run : runs)
        text += run.text;
    return text;
}

namespace {

enum class Dest {
    Text,      // ordinary document text
    Skip,      // a destination whose text is not shown
    FontTable, // font names, read to know which fonts are symbol fonts
    Marker,    // \pntext / \listtext: the label of a list item
    ListProps, // \pn: list properties of the paragraph, no text
};

enum class ListKind { None, Bullet, Numbered };
enum class FontKind { Text, Symbol, Wingdings };

struct ParaState {
    int left = 0;
    int right = 0;
    int first = 0;
    int before = 0;
    int after = 0;
    RtfAlign align = RtfAlign::Left;
    ListKind list = ListKind::None;
};

struct GroupState {
    RtfCharFormat chr;
    ParaState para;
    Dest dest = Dest::Text;
    int font = -1;
    int uc = 1;
    bool hidden = false;
    bool starred = false;       // "\*" seen: an unknown destination word skips the group
    bool inUpr = false;         // inside \upr, whose \ud part alone is shown
    Dest uprOuter = Dest::Text; // the destination around \upr
    int definingFont = -1;      // in the font table: the font whose name follows
    int definingCharset = 0;
};

enum class Word {
    // destinations
    Rtf,
    SkipDest,
    FontTbl,
    PnText,
    ListText,
    Pn,
    PnTxt,
    Upr,
    Ud,
    FldRslt,
    // character formatting
    Bold,
    Italic,
    Underline,
    UnderlineNone,
    Strike,
    FontSize,
    Plain,
    Font,
    Charset,
    Super,
    Sub,
    NoSuperSub,
    Hidden,
    Uc,
    Unicode,
    Bin,
    // paragraphs
    Par,
    Line,
    Tab,
    Cell,
    Row,
    Pard,
    LeftIndent,
    RightIndent,
    FirstIndent,
    SpaceBefore,
    SpaceAfter,
    AlignLeft,
    AlignCenter,
    AlignRight,
    AlignJustify,
    PnBullet,
    PnNumbered,
    PnNone,
    // a word that stands for one character (SymbolWords)
    Symbol,
};

// The control words that stand for one character.
constexpr std::pair<const char *, char16_t> SymbolWords[] = {
    {"bullet", 0x2022},  {"emdash", 0x2014}, {"endash", 0x2013}, {"emspace", 0x2003},   {"enspace", 0x2002},
    {"qmspace", 0x2002}, {"lquote", 0x2018}, {"rquote", 0x2019}, {"ldblquote", 0x201C}, {"rdblquote", 0x201D},
};

const QHash<QByteArray, Word> &Words()
{
    static const QHash<QByteArray, Word> words = [] {
        QHash<QByteArray, Word> w;
        w.insert("rtf", Word::Rtf);
        for (const char *dest : {"colortbl",     "stylesheet", "info",      "pict",       "object",
                                 "header",       "headerl",    "headerr",   "headerf",    "footer",
                                 "footerl",      "footerr",    "footerf",   "footnote",   "annotation",
                                 "atnid",        "atnauthor",  "xe",        "tc",         "txe",
                                 "rxe",          "bkmkstart",  "bkmkend",   "listtable",  "listoverridetable",
                                 "revtbl",       "rsidtbl",    "generator", "themedata",  "colorschememapping",
                                 "latentstyles", "datastore",  "fldinst",   "nonshppict", "shpinst",
                                 "pgdsctbl",     "filetbl",    "userprops", "docvar",     "xmlnstbl",
                                 "mmathPr",      "ftnsep",     "ftnsepc",   "ftncn",      "aftnsep",
                                 "aftnsepc",     "aftncn",     "template",  "operator",   "author",
                                 "title",        "subject",    "keywords",  "comment",    "doccomm",
                                 "company",      "category",   "falt",      "panose",     "datafield",
                                 "objdata",      "result"})
            w.insert(dest, Word::SkipDest);
        w.insert("fonttbl", Word::FontTbl);
        w.insert("pntext", Word::PnText);
        w.insert("listtext", Word::ListText);
        w.insert("pn", Word::Pn);
        w.insert("pntxta", Word::PnTxt);
        w.insert("pntxtb", Word::PnTxt);
        w.insert("upr", Word::Upr);
        w.insert("ud", Word::Ud);
        w.insert("fldrslt", Word::FldRslt);
        w.insert("b", Word::Bold);
        w.insert("i", Word::Italic);
        for (const char *ul : {"ul", "uld", "uldb", "uldash", "uldashd", "uldashdd", "ulhwave", "ulth", "ulw", "ulwave",
                               "ulthd", "ulthdash", "ulldash", "uldbwave"})
            w.insert(ul, Word::Underline);
        w.insert("ulnone", Word::UnderlineNone);
        w.insert("strike", Word::Strike);
        w.insert("striked", Word::Strike);
        w.insert("fs", Word::FontSize);
        w.insert("plain", Word::Plain);
        w.insert("f", Word::Font);
        w.insert("fcharset", Word::Charset);
        w.insert("super", Word::Super);
        w.insert("sub", Word::Sub);
        w.insert("nosupersub", Word::NoSuperSub);
        w.insert("v", Word::Hidden);
        w.insert("uc", Word::Uc);
        w.insert("u", Word::Unicode);
        w.insert("bin", Word::Bin);
        w.insert("par", Word::Par);
        w.insert("sect", Word::Par);
        w.insert("page", Word::Par);
        w.insert("line", Word::Line);
        w.insert("tab", Word::Tab);
        w.insert("cell", Word::Cell);
        w.insert("nestcell", Word::Cell);
        w.insert("row", Word::Row);
        w.insert("nestrow", Word::Row);
        w.insert("pard", Word::Pard);
        w.insert("li", Word::LeftIndent);
        w.insert("ri", Word::RightIndent);
        w.insert("fi", Word::FirstIndent);
        w.insert("sb", Word::SpaceBefore);
        w.insert("sa", Word::SpaceAfter);
        w.insert("ql", Word::AlignLeft);
        w.insert("qc", Word::AlignCenter);
        w.insert("qr", Word::AlignRight);
        w.insert("qj", Word::AlignJustify);
        w.insert("pnlvlblt", Word::PnBullet);
        for (const char *num : {"pnlvlbody", "pndec", "pnucrm", "pnlcrm", "pnucltr", "pnlcltr", "pnlvl"})
            w.insert(num, Word::PnNumbered);
        w.insert("pnlvlcont", Word::PnNone);
        for (const auto &[symbol, ch] : SymbolWords)
            w.insert(symbol, Word::Symbol);
        return w;
    }();
    return words;
}

// Twips and other measures are kept within what a page can hold, so hostile numbers cannot
// produce absurd layouts.
int ClampTwips(int value)
{
    return std::clamp(value, -31680, 31680);
}

bool IsBulletGlyph(const QString &marker)
{
    static const QString glyphs = QStringLiteral("\u2022\u00B7\u25AA\u25CF\u25E6\u25CB\u25A0"
                                                 "\u25A1\u2013\u2014-*o\u00A7\u27A2\u2751\u2756");
    return marker.size() == 1 && glyphs.contains(marker.at(0));
}

QChar SymbolFontChar(FontKind kind, unsigned char byte)
{
    if (kind == FontKind::Symbol) {
        switch (byte) {
        case 0xB7:
            return QChar(0x2022);
        case 0xB0:
            return QChar(0x00B0);
        case 0xAE:
            return QChar(0x2192);
        case 0xAC:
            return QChar(0x2190);
        default:
            break;
        }
    } else if (kind == FontKind::Wingdings) {
        switch (byte) {
        case 0x6C:
            return QChar(0x25CF);
        case 0x6E:
            return QChar(0x25A0);
        case 0x71:
            return QChar(0x2751);
        case 0x76:
            return QChar(0x2756);
        case 0xA7:
            return QChar(0x25AA);
        case 0xA8:
            return QChar(0x25FB);
        case 0xD8:
            return QChar(0x27A2);
        case 0xFC:
            return QChar(0x2713);
        default:
            break;
        }
    }
    return Cp1252ToUnicode(byte);
}

class Parser {
public:
    explicit Parser(const QByteArray &in) : in_(in) { stack_.emplace_back(); }

    RtfDocument Run()
    {
        const qsizetype n = in_.size();
        // A file that starts as RTF ends with its outermost group; bytes after it are not text.
        const bool isRtf = in_.startsWith("{\\rtf");
        while (pos_ < n) {
            const unsigned char c = static_cast<unsigned char>(in_[pos_]);
            if (c == '{') {
                ++pos_;
                OpenGroup();
            } else if (c == '}') {
                ++pos_;
                if (isRtf && stack_.size() == 2 && overflow_ == 0) {
                    // The last paragraph may have no \par; it keeps the document's formatting.
                    FinishPendingParagraph();
                    break;
                }
                CloseGroup();
            } else if (c == '\\') {
                ReadControl();
            } else if (c == '\r' || c == '\n') {
                ++pos_;
            } else {
                ++pos_;
                if (skipChars_ > 0) {
                    --skipChars_;
                    continue;
                }
                if (c == '\t')
                    EmitChar(QChar(u'\t'));
                else if (c >= 0x20)
                    EmitByte(c);
            }
        }
        FinishPendingParagraph();
        for (RtfParagraph &p : doc_.paragraphs)
            for (RtfRun &run : p.runs)
                FixSurrogates(run.text);
        return std::move(doc_);
    }

private:
    GroupState &State() { return stack_.back(); }

    void OpenGroup()
    {
        skipChars_ = 0;
        if (static_cast<int>(stack_.size()) >= RtfMaxDepth) {
            ++overflow_;
            return;
        }
        GroupState copy = State();
        copy.starred = false;
        stack_.push_back(copy);
    }

    void CloseGroup()
    {
        skipChars_ = 0;
        if (overflow_ > 0) {
            --overflow_;
            return;
        }
        if (stack_.size() > 1) {
            if (State().dest == Dest::FontTable)
                FinishFontName();
            stack_.pop_back();
        }
    }

    void ReadControl()
    {
        const qsizetype n = in_.size();
        ++pos_; // the backslash
        if (pos_ >= n)
            return;
        const char c = in_[pos_];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            const qsizetype start = pos_;
            while (pos_ < n && ((in_[pos_] >= 'a' && in_[pos_] <= 'z') || (in_[pos_] >= 'A' && in_[pos_] <= 'Z')))
                ++pos_;
            const qsizetype length = pos_ - start;
            bool hasParam = false;
            long long param = 0;
            bool negative = false;
            if (pos_ + 1 < n && in_[pos_] == '-' && in_[pos_ + 1] >= '0' && in_[pos_ + 1] <= '9') {
                negative = true;
                ++pos_;
            }
            while (pos_ < n && in_[pos_] >= '0' && in_[pos_] <= '9') {
                hasParam = true;
                if (param < 1000000000LL)
                    param = param * 10 + (in_[pos_] - '0');
                ++pos_;
            }
            if (pos_ < n && in_[pos_] == ' ')
                ++pos_;
            if (negative)
                param = -param;
            const int value = static_cast<int>(std::clamp(param, -1000000000LL, 1000000000LL));
            if (skipChars_ > 0) {
                --skipChars_;
                if (length == 3 && in_.mid(start, 3) == "bin" && hasParam && value > 0)
                    pos_ = std::min<qsizetype>(n, pos_ + value);
                return;
            }
            if (length <= 32)
                ControlWord(in_.mid(start, length), hasParam, value);
            return;
        }
        ++pos_;
        if (c == '\'') {
            int byte = 0;
            int digits = 0;
            while (digits < 2 && pos_ < n) {
                const int v = HexDigitValue(in_[pos_]);
                if (v < 0)
                    break;
                byte = byte * 16 + v;
                ++digits;
                ++pos_;
            }
            if (skipChars_ > 0) {
                --skipChars_;
                return;
            }
            if (digits > 0)
                EmitByte(static_cast<unsigned char>(byte));
            return;
        }
        if (skipChars_ > 0) {
            --skipChars_;
            return;
        }
        switch (c) {
        case '\\':
        case '{':
        case '}':
            EmitChar(QChar(char16_t(c)));
            break;
        case '~':
            EmitChar(QChar(0x00A0));
            break;
        case '_':
            EmitChar(QChar(0x2011));
            break;
        case '*':
            State().starred = true;
            break;
        case '\r':
        case '\n':
            FinishParagraph();
            break; // a backslash before a line end is \par
        case '\t':
            EmitChar(QChar(u'\t'));
            break;
        default:
            break; // \- optional hyphen, \| \: and unknown symbols show nothing
        }
    }


    void ControlWord(const QByteArray &name, bool hasParam, int value)
    {
        GroupState &s = State();
        const auto it = Words().constFind(name);
        if (it == Words().constEnd()) {
            // An unknown destination marked ignorable: drop the group.
            if (s.starred)
                s.dest = Dest::Skip;
            s.starred = false;
            return;
        }
        const Word word = *it;
        const bool on = !hasParam || value != 0;
        s.starred = false;
        switch (word) {
        case Word::Rtf:
            break;
        case Word::SkipDest:
            s.dest = Dest::Skip;
            break;
        case Word::FontTbl:
            if (s.dest != Dest::Skip)
                s.dest = Dest::FontTable;
            break;
        case Word::PnText:
        case Word::ListText:
            if (s.dest == Dest::Text) {
                s.dest = Dest::Marker;
                marker_.clear();
            } else {
                s.dest = Dest::Skip;
            }
            break;
        case Word::Pn:
            if (s.dest == Dest::Text || s.dest == Dest::ListProps) {
                s.dest = Dest::ListProps;
                // List properties belong to the paragraph outside the \pn group.
                pnOwner_ = stack_.size() >= 2 ? stack_.size() - 2 : 0;
            } else {
                s.dest = Dest::Skip;
            }
            break;
        case Word::PnTxt:
            s.dest = Dest::Skip;
            break;
        case Word::Upr: // its \ud part carries the Unicode text; the rest is the same text again
            s.inUpr = true;
            s.uprOuter = s.dest;
            s.dest = Dest::Skip;
            break;
        case Word::Ud:
            if (s.inUpr)
                s.dest = s.uprOuter;
            break;
        case Word::FldRslt:
            break;
        case Word::Bold:
            s.chr.bold = on;
            break;
        case Word::Italic:
            s.chr.italic = on;
            break;
        case Word::Underline:
            s.chr.underline = on;
            break;
        case Word::UnderlineNone:
            s.chr.underline = false;
            break;
        case Word::Strike:
            s.chr.strike = on;
            break;
        case Word::FontSize:
            s.chr.halfPoints = hasParam && value > 0 ? std::clamp(value, 2, 800) : 24;
            break;
        case Word::Plain:
            s.chr = RtfCharFormat{};
            s.hidden = false;
            break;
        case Word::Font:
            if (s.dest == Dest::FontTable) {
                FinishFontName();
                s.definingFont = value;
                s.definingCharset = 0;
            } else {
                s.font = value;
            }
            break;
        case Word::Charset:
            if (s.dest == Dest::FontTable)
                s.definingCharset = value;
            break;
        case Word::Super:
            s.chr.script = 1;
            break;
        case Word::Sub:
            s.chr.script = -1;
            break;
        case Word::NoSuperSub:
            s.chr.script = 0;
            break;
        case Word::Hidden:
            s.hidden = on;
            break;
        case Word::Uc:
            s.uc = hasParam ? std::clamp(value, 0, 10) : 1;
            break;
        case Word::Unicode:
            if (hasParam) {
                const int code = value < 0 ? value + 65536 : value;
                if (code >= 0 && code <= 0xFFFF)
                    EmitChar(QChar(char16_t(code)));
                skipChars_ = s.uc;
            }
            break;
        case Word::Bin:
            if (hasParam && value > 0)
                pos_ = std::min<qsizetype>(in_.size(), pos_ + value);
            break;
        case Word::Par:
        case Word::Row:
            if (s.dest == Dest::Text)
                FinishParagraph();
            break;
        case Word::Line:
            EmitChar(QChar::LineSeparator);
            break;
        case Word::Tab:
        case Word::Cell:
            EmitChar(QChar(u'\t'));
            break;
        case Word::Pard:
            s.para = ParaState{};
            break;
        case Word::LeftIndent:
            s.para.left = ClampTwips(value);
            break;
        case Word::RightIndent:
            s.para.right = ClampTwips(value);
            break;
        case Word::FirstIndent:
            s.para.first = ClampTwips(value);
            break;
        case Word::SpaceBefore:
            s.para.before = std::clamp(value, 0, 31680);
            break;
        case Word::SpaceAfter:
            s.para.after = std::clamp(value, 0, 31680);
            break;
        case Word::AlignLeft:
            s.para.align = RtfAlign::Left;
            break;
        case Word::AlignCenter:
            s.para.align = RtfAlign::Center;
            break;
        case Word::AlignRight:
            s.para.align = RtfAlign::Right;
            break;
        case Word::AlignJustify:
            s.para.align = RtfAlign::Justify;
            break;
        case Word::PnBullet:
            SetListKind(ListKind::Bullet);
            break;
        case Word::PnNumbered:
            SetListKind(ListKind::Numbered);
            break;
        case Word::PnNone:
            SetListKind(ListKind::None);
            break;
        case Word::Symbol:
            for (const auto &[symbol, ch] : SymbolWords)
                if (name == symbol)
                    EmitChar(QChar(ch));
            break;
        }
    }

    void SetListKind(ListKind kind)
    {
        GroupState &s = State();
        if (s.dest == Dest::ListProps && pnOwner_ < stack_.size())
            stack_[pnOwner_].para.list = kind;
        s.para.list = kind;
    }

    FontKind KindOfFont(int font) const
    {
        const auto it = fontKinds_.constFind(font);
        return it == fontKinds_.constEnd() ? FontKind::Text : *it;
    }

    void EmitByte(unsigned char byte)
    {
        const GroupState &s = stack_.back();
        if (s.dest == Dest::FontTable) {
            EmitChar(QChar(char16_t(byte)));
            return;
        }
        EmitChar(SymbolFontChar(KindOfFont(s.font), byte));
    }

    void EmitChar(QChar ch)
    {
        GroupState &s = State();
        switch (s.dest) {
        case Dest::Text:
            if (s.hidden)
                return;
            if (ch == QChar::ParagraphSeparator)
                ch = QChar::LineSeparator;
            else if (ch.unicode() < 0x20 && ch != u'\t')
                return; // a paragraph break comes only from \par
            if (para_.runs.isEmpty() || !(para_.runs.last().format == s.chr))
                para_.runs.append(RtfRun{QString(), s.chr});
            para_.runs.last().text.append(ch);
            return;
        case Dest::Marker:
            if (!s.hidden && marker_.size() < 64)
                marker_.append(ch);
            return;
        case Dest::FontTable:
            if (ch == u';')
                FinishFontName();
            else if (fontName_.size() < 128)
                fontName_.append(ch);
            return;
        case Dest::Skip:
        case Dest::ListProps:
            return;
        }
    }

    void FinishFontName()
    {
        GroupState &s = State();
        const QString name = fontName_.trimmed();
        if (s.definingFont >= 0 && (!name.isEmpty() || s.definingCharset == 2)) {
            FontKind kind = FontKind::Text;
            if (name.compare(u"Wingdings", Qt::CaseInsensitive) == 0)
                kind = FontKind::Wingdings;
            else if (name.compare(u"Symbol", Qt::CaseInsensitive) == 0 || s.definingCharset == 2)
                kind = FontKind::Symbol;
            if (kind != FontKind::Text)
                fontKinds_.insert(s.definingFont, kind);
            else
                fontKinds_.remove(s.definingFont);
            s.definingFont = -1;
        }
        fontName_.clear();
    }

    void FinishPendingParagraph()
    {
        if (!para_.runs.isEmpty() || !marker_.isEmpty())
            FinishParagraph();
    }

    void FinishParagraph()
    {
        const ParaState &ps = State().para;
        RtfParagraph p;
        p.runs = std::move(para_.runs);
        p.leftIndent = ps.left;
        p.rightIndent = ps.right;
        p.firstIndent = ps.first;
        p.spaceBefore = ps.before;
        p.spaceAfter = ps.after;
        p.align = ps.align;
        QString label = marker_;
        label.remove(u'\t');
        label = label.trimmed();
        if (!label.isEmpty()) {
            if (IsBulletGlyph(label) || ps.list == ListKind::Bullet)
                p.bullet = true;
            else
                p.marker = label;
        } else if (ps.list == ListKind::Bullet) {
            p.bullet = true;
        }
        doc_.paragraphs.append(std::move(p));
        para_ = RtfParagraph{};
        marker_.clear();
    }

    static void FixSurrogates(QString &text)
    {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c.isHighSurrogate()) {
                if (i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                    ++i;
                else
                    text[i] = QChar::ReplacementCharacter;
            } else if (c.isLowSurrogate()) {
                text[i] = QChar::ReplacementCharacter;
            }
        }
    }

    const QByteArray &in_;
    qsizetype pos_ = 0;
    std::vector<GroupState> stack_;
    int overflow_ = 0;
    int skipChars_ = 0;
    size_t pnOwner_ = 0;
    RtfDocument doc_;
    RtfParagraph para_;
    QString marker_;
    QString fontName_;
    QHash<int, FontKind> fontKinds_;
};

// The document lays out in pixels at 96 per inch.
qreal TwipsToPixels(int twips)
{
    return twips / 15.0;
}

QTextCharFormat CharFormatOf(const RtfCharFormat &f)
{
    QTextCharFormat cf;
    cf.setFontWeight(f.bold ? QFont::Bold : QFont::Normal);
    cf.setFontItalic(f.italic);
    cf.setFontUnderline(f.underline);
    cf.setFontStrikeOut(f.strike);
    cf.setFontPointSize(f.halfPoints / 2.0);
    if (f.script > 0)
        cf.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    else if (f.script < 0)
        cf.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    return cf;
}

Qt::Alignment AlignmentOf(RtfAlign align)
{
    switch (align) {
    case RtfAlign::Center:
        return Qt::AlignHCenter;
    case RtfAlign::Right:
        return Qt::AlignRight;
    case RtfAlign::Justify:
        return Qt::AlignJustify;
    case RtfAlign::Left:
        break;
    }
    return Qt::AlignLeft;
}

} // namespace

RtfDocument ParseRtf(const QByteArray &rtf)
{
    return Parser(rtf).Run();
}

void RenderRtf(const RtfDocument &parsed, QTextDocument *document)
{
    document->clear();
    QTextCursor cursor(document);
    QTextList *list = nullptr;
    int listLevel = 0;
    bool firstBlock = true;
    for (const RtfParagraph &p : parsed.paragraphs) {
        QTextBlockFormat bf;
        bf.setAlignment(AlignmentOf(p.align));
        bf.setTopMargin(TwipsToPixels(p.spaceBefore));
        bf.setBottomMargin(TwipsToPixels(p.spaceAfter));
        bf.setRightMargin(TwipsToPixels(std::max(0, p.rightIndent)));
        if (!p.bullet) {
            const int left = std::max(0, p.leftIndent);
            bf.setLeftMargin(TwipsToPixels(left));
            bf.setTextIndent(TwipsToPixels(std::max(-left, p.firstIndent)));
        }
        const RtfCharFormat lead = p.runs.isEmpty() ? RtfCharFormat{} : p.runs.first().format;
        if (firstBlock) {
            cursor.setBlockFormat(bf);
            cursor.setBlockCharFormat(CharFormatOf(lead));
            firstBlock = false;
        } else {
            cursor.insertBlock(bf, CharFormatOf(lead));
        }
        if (p.bullet) {
            const int level = std::clamp((std::max(0, p.leftIndent) + 360) / 720, 1, 8);
            if (list && listLevel == level) {
                list->add(cursor.block());
            } else {
                QTextListFormat lf;
                lf.setStyle(level % 2 == 1 ? QTextListFormat::ListDisc : QTextListFormat::ListCircle);
                lf.setIndent(level);
                list = cursor.createList(lf);
                listLevel = level;
            }
        } else {
            list = nullptr;
            if (!p.marker.isEmpty())
                cursor.insertText(p.marker + QChar(0x2002), CharFormatOf(lead));
        }
        for (const RtfRun &run : p.runs)
            cursor.insertText(run.text, CharFormatOf(run.format));
    }
}

void LoadRtf(QTextDocument *document, const QByteArray &rtf)
{
    RenderRtf(ParseRtf(rtf), document);
}

QString RtfToHtml(const QByteArray &rtf)
{
    QTextDocument document;
    LoadRtf(&document, rtf);
    return document.toHtml();
}
