#pragma once

#include <QPixmap>
#include <QWidget>

class Client;
namespace Ui {
class Intro;
}

// The start-up splash: a timed progress bar, then the main window.
class Intro : public QWidget {
    Q_OBJECT

public:
    Intro();
    ~Intro() override;

    // Runs the bar from 0 to 100 with a short pause after each value, then shows the main
    // window. The caller destroys the splash afterwards.
    void run(Client &core, QWidget *mainWindow);

    static const QString SplashText;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::Intro *const m_ui;
    QPixmap m_background;
};
