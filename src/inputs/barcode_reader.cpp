#include "inputs/barcode_reader.h"

#include "engine/errors.h"
#include "engine/terminal_observer.h"
#include "inputs/text_lines.h"

#include <QDir>
#include <QSaveFile>

namespace {

AppError creationError(const QString &path, const QString &reason)
{
    return AppError(QStringLiteral("Cannot create file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason));
}

} // namespace

BarcodeReader::BarcodeReader(TerminalState &state, Keyboard &keyboard) : m_state(state), m_keyboard(keyboard) {}

QList<QByteArray> BarcodeReader::lines() const
{
    return splitTextLines(m_text);
}

void BarcodeReader::setText(const QByteArray &memoText)
{
    m_text = memoText;
}

void BarcodeReader::setTerminatorIndex(int index)
{
    m_terminator = (index >= kNenhum && index <= kCrLf) ? index : kNoTerminator;
}

QByteArray BarcodeReader::terminatorBytes(int index)
{
    switch (index) {
    case kCr:
        return QByteArrayLiteral("\r");
    case kLf:
        return QByteArrayLiteral("\n");
    case kCrLf:
        return QByteArrayLiteral("\r\n");
    default:
        return QByteArray();
    }
}

void BarcodeReader::resetForNewWindow()
{
    m_lineIndex = 0;
}

Operation BarcodeReader::btCodigoBarrasClick()
{
    {
        const QList<QByteArray> codes = lines();
        // Lines removed in the editor can leave the index past the end: start
        // again at the first code at once instead of sending bare terminators.
        if (m_lineIndex >= codes.size())
            m_lineIndex = 0;
        // Named, not a temporary of the awaited call: its lifetime is then plain to every compiler.
        const QByteArray code = m_lineIndex < codes.size() ? codes.at(m_lineIndex) : QByteArray();
        co_await sendCode(code);
    }
    // The list may have been edited while the code was going out; the step is
    // taken against the list as it stands now.
    const qsizetype count = lines().size();
    if (m_lineIndex + 1 >= count)
        m_lineIndex = 0;
    else
        m_lineIndex = static_cast<unsigned char>(m_lineIndex + 1);
}

Operation BarcodeReader::sendCode(QByteArray code)
{
    if (m_terminator == kNoTerminator)
        co_return;
    const QByteArray typed = code + terminatorBytes(m_terminator);
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::Barcode, 0, typed);
    co_await m_keyboard.SendKeyString(typed);
}

void BarcodeReader::applyDelayText(const QByteArray &edDelaiText)
{
    m_state.barcodeCharDelay = StrToInt(edDelaiText);
}

bool BarcodeReader::loadCodes(const QString &path)
{
    const auto content = readTextFile(path);
    if (!content)
        return false;
    m_text = splitTextLines(*content).join('\n');
    return true;
}

void BarcodeReader::saveCodes(const QString &path) const
{
    QByteArray text;
    for (const QByteArray &line : lines())
        text += line + "\r\n";
    QSaveFile file(path);
    // Unbuffered, so that a write the disk refuses shows in write()'s result: a
    // buffered one would fail only inside commit(), which then still replaces
    // the file with what little was written.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw creationError(path, file.errorString());
    if (file.write(text) != text.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw creationError(path, reason);
    }
    if (!file.commit())
        throw creationError(path, file.errorString());
}
