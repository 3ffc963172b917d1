#pragma once

#include <QWidget>

namespace Ui {
class Help;
}

// A small fixed help browser: the topic selected on the left is shown on the right. Closing it
// destroys it.
class Help : public QWidget {
    Q_OBJECT

public:
    Help();
    ~Help() override;

    // The text shown for the topic at a position of the list.
    static QString topicText(int position);

private:
    void selectionChanged();

    Ui::Help *const m_ui;
};
