#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Text from the server or the user is never markup; these helpers keep it literal where Qt
// would otherwise interpret it.
namespace plain {

// A window title shown exactly as given ("[*]" is otherwise a placeholder that Qt hides).
void setCaption(QWidget *window, const QString &caption);

// A modal box with one OK button; returns once the user has dismissed it.
void showBox(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::Icon icon = QMessageBox::NoIcon);

// A modal question with two buttons, the second the default and what Escape chooses; true if
// the user chose the first.
bool ask(QWidget *parent, const QString &title, const QString &text, const QString &yes,
         const QString &no);

} // namespace plain
