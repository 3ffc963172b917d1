#include "layouts/plain_text.h"

#include <QAbstractButton>
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

bool ask(QWidget *parent, const QString &title, const QString &text, const QString &yes,
         const QString &no)
{
    QMessageBox box(QMessageBox::Warning, QString(), QString(),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    setCaption(&box, title);
    box.setText(text);
    box.button(QMessageBox::Yes)->setText(yes);
    box.button(QMessageBox::No)->setText(no);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace plain
