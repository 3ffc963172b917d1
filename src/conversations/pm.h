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

    // One line of the conversation: the writer's name part, emphasised, then the text.
    void appendLine(const QString &writer, const QColor &writerColour, const QString &text);
    // After the first line sent or received, the correspondent cannot be changed.
    void lockRecipient();
    void setStatusText(const QString &text);
    QString statusText() const;

    Ui::PM *const ui;

Q_SIGNALS:
    void closedByUser();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void send();

    Program &m_program;
    QString m_caption;
};
