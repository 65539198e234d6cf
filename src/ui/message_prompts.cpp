#include "ui/message_prompts.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>

void MessagePrompts::showMessage(const QString &caption, const QString &text, Icon icon)
{
    QMessageBox box;
    box.setWindowTitle(caption);
    // A bare CR separates the two lines of some messages; show it as a line break.
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(shown);
    switch (icon) {
    case Icon::Error: box.setIcon(QMessageBox::Critical); break;
    case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

std::optional<QString> MessagePrompts::inputBox(const QString &caption, const QString &prompt,
                                                 const QString &value)
{
    bool ok = false;
    const QString text = QInputDialog::getText(nullptr, caption, prompt, QLineEdit::Normal, value, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

void MessagePrompts::requestTerminate()
{
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}
