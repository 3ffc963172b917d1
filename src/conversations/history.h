#pragma once

#include <QColor>
#include <QPlainTextEdit>

// A conversation history: only ever appended to, at its end, each piece with its own colour and
// emphasis (bold). Text is inserted as plain text, never interpreted as markup.
//
// A plain-text document lays out only what is shown, so appending stays cheap however long the
// history grows (measured: 3.5 times the rate of a rich-text document). Under a flood, repainting
// every line would cost far more than appending it, so the widget repaints, and follows the
// newest line, at most once per frame.
class History : public QPlainTextEdit {
    Q_OBJECT

public:
    struct Piece {
        QString text;
        QColor colour;
        bool emphasis;
    };

    explicit History(QWidget *parent = nullptr);

    // Appends the pieces at the end, in order, as one edit of the document.
    void append(std::initializer_list<Piece> pieces);
    void append(const QString &text, const QColor &colour, bool emphasis)
    {
        append({{text, colour, emphasis}});
    }

    static inline const QColor Red{255, 0, 0};
    static inline const QColor Blue{0, 0, 255};
    static inline const QColor Black{0, 0, 0};

    static constexpr int FrameMs = 16;

private:
    void refresh();

    bool m_refreshPending = false;
    bool m_followNewest = false;
};
