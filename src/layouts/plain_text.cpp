#include "layouts/plain_text.h"

#include <QWidget>

namespace plain {

void setCaption(QWidget *window, const QString &caption)
{
    QString escaped = caption;
    escaped.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    window->setWindowTitle(escaped);
}

void showBox(QWidget *parent, const QString &title, const QString &text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, QString(), QString(), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    setCaption(&box, title);
    box.setText(text);
    box.exec();
}

} // namespace plain
