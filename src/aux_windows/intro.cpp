#include "aux_windows/intro.h"

#include "layouts/placement.h"
#include "core/client.h"
#include "ui_intro.h"

#include <QPainter>

const QString Intro::SplashText = QStringLiteral(
    "Dravo's Mensajero esta  \r\n"
    "cargandose en memoria ...esta \r\n"
    "es la version beta del \r\n"
    "mensajero ...si encuentras \r\n"
    "algun error favor de enviarme \r\n"
    "un correo a \r\n"
    "dravo@korvex.invalid \r\n"
    "\r\n"
    "Tambien acepto comentarios \r\n"
    "sobre este y mis otros \r\n"
    "programas. \r\n"
    "\r\n"
    "Dedicado a todos los \r\n"
    "miembros del grupo \r\n"
    "KORVEX, que le dan vida \r\n"
    "a esta red. \r\n"
    "Gracias! \r\n");

Intro::Intro() : m_ui(new Ui::Intro), m_background(QStringLiteral(":/pictures/portrait.svg"))
{
    m_ui->setupUi(this);
    // The splash keeps the system's font; only its label has the layouts' one.
    placement::useLayoutFont(m_ui->Label1);
    setWindowFlag(Qt::FramelessWindowHint);
    setFixedSize(size());
    m_ui->Text1->setPlainText(SplashText);
    placement::centre(this);
}

Intro::~Intro()
{
    delete m_ui;
}

void Intro::run(Client &core, QWidget *mainWindow)
{
    // Visible at once, so that it is drawn while the bar runs.
    show();
    for (int counter = 0; counter <= 100; ++counter) {
        m_ui->prog->setValue(counter);
        core.Pause(0.02);
        if (counter == 100)
            mainWindow->show();
    }
}

void Intro::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_background);
}
