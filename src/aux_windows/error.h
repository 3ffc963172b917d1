#pragma once

#include <QWidget>

namespace Ui {
class Error;
}

// Shows one error text. Closing it destroys it.
class Error : public QWidget {
    Q_OBJECT

public:
    Error();
    ~Error() override;

    void setErrorText(const QString &text);
    QString errorText() const;

private:
    Ui::Error *const m_ui;
};
