#pragma once

#include <QColor>
#include <QWidget>

class Program;
namespace Ui {
class PM;
}

// A private conversation with one correspondent. Closing it destroys it.
class PM : public QWidget {
    Q_OBJECT

public:
    explicit PM(Program &program);
    ~PM() override;

    // The caption as set, which the registry's lookups compare.
    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

    // Whom the conversation is with, and as whom the user writes.
    void setCorrespondents(const QString &to, const QString &from);
    // A line from the correspondent: in blue, and the correspondent cannot be changed any more.
    void lineArrived(const QString &sender, const QString &own, const QString &text);
    // One line of the conversation: the writer's name part, emphasised, then the text.
    void appendLine(const QString &writer, const QColor &writerColour, const QString &text);
    // A line about the conversation rather than in it, emphasised.
    void appendNotice(const QString &text);
    // After the first line sent or received, the correspondent cannot be changed.
    void lockRecipient();
    void setStatusText(const QString &text);
    QString statusText() const;

    Ui::PM *const ui;

    static inline const QString NotSent = QStringLiteral("<No enviado: no hay conexión>");

Q_SIGNALS:
    void closedByUser();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void send();

    Program &m_program;
    QString m_caption;
};
