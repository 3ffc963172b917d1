#include "aux_windows/about.h"

#include "layouts/placement.h"
#include "ui_about.h"

#include <QPainter>

About::About() : m_ui(new Ui::About), m_banner(QStringLiteral(":/pictures/banner.svg"))
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
}

About::~About()
{
    delete m_ui;
}

void About::paintEvent(QPaintEvent *)
{
    // The banner, unscaled, cut off at the right edge; the portrait covers most of it.
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_banner);
}
