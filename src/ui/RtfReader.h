// A small reader for the rich-text help file: turns RTF bytes into paragraphs of formatted runs
// and renders them into a QTextDocument. Any input, however broken, gives some document.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QTextDocument;

struct RtfCharFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    int halfPoints = 24; // \fsN: font size in half points
    int script = 0;      // 1 superscript, -1 subscript

    bool operator==(const RtfCharFormat &) const = default;
};

struct RtfRun {
    QString text; // tabs as '\t', \line as QChar::LineSeparator
    RtfCharFormat format;
};

enum class RtfAlign { Left, Center, Right, Justify };

struct RtfParagraph {
    QList<RtfRun> runs;
    int leftIndent = 0;  // twips
    int rightIndent = 0; // twips
    int firstIndent = 0; // twips, relative to leftIndent (negative for a hanging indent)
    int spaceBefore = 0; // twips
    int spaceAfter = 0;  // twips
    RtfAlign align = RtfAlign::Left;
    bool bullet = false; // a bulleted list item; its bullet is drawn by the renderer
    QString marker;      // the label of a numbered or otherwise labelled item ("1.", "a)"), else empty

    QString plainText() const;
};

struct RtfDocument {
    QList<RtfParagraph> paragraphs;
};

// Group nesting beyond this depth no longer saves and restores state; the text is still read.
inline constexpr int RtfMaxDepth = 200;

RtfDocument ParseRtf(const QByteArray &rtf);
// Replaces the document's content with the rendered paragraphs.
void RenderRtf(const RtfDocument &parsed, QTextDocument *document);
void LoadRtf(QTextDocument *document, const QByteArray &rtf);
QString RtfToHtml(const QByteArray &rtf);

