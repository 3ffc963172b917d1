#pragma once

#include <QPixmap>
#include <QWidget>

namespace Ui {
class About;
}

// Who made the program. Closing it destroys it.
class About : public QWidget {
    Q_OBJECT

public:
    About();
    ~About() override;


    static inline const QString ContactLine =
        QStringLiteral("Dravo - escribeme a dravo@korvex.invalid");

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::About *const m_ui;
    QPixmap m_banner;
};
