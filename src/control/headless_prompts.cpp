#include "control/headless_prompts.h"

#include <QCoreApplication>
#include <QTimer>

QString HeadlessPrompts::messageLine(const QString &caption, const QString &text)
{
    QString flat = text;
    flat.replace(QLatin1String("\r\n"), QLatin1String(" "));
    flat.replace(QLatin1Char('\r'), QLatin1Char(' '));
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return caption + QLatin1String(": ") + flat;
}

void HeadlessPrompts::showMessage(const QString &caption, const QString &text, Icon icon)
{
    Q_UNUSED(icon);
    const QByteArray line = messageLine(caption, text).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), m_out);
    std::fflush(m_out);
}

std::optional<QString> HeadlessPrompts::inputBox(const QString &caption, const QString &prompt, const QString &value)
{
    Q_UNUSED(caption);
    Q_UNUSED(prompt);
    Q_UNUSED(value);
    return std::nullopt;
}

void HeadlessPrompts::requestTerminate()
{
    QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(1); });
}
