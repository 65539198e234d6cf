#include "inputs/scale.h"

#include "engine/frames.h"
#include "engine/terminal_observer.h"
#include "inputs/scale_notation.h"
#include "inputs/text_lines.h"

Scale::Scale(TerminalState &state, HostSender &sender, QObject *parent)
    : QObject(parent),
      m_state(state),
      m_sender(sender),
      m_items{QByteArrayLiteral("<2>12345<3>"), QByteArrayLiteral("<2><20>12345<20>00923<20>11394<3>")}
{
}

void Scale::setItems(const QList<QByteArray> &items)
{
    m_items = items;
    emit itemsChanged();
}

void Scale::replaceItems(const QList<QByteArray> &items)
{
    setItems(items);
    m_index = 0;
    emit selectionChanged(0);
    if (m_on)
        decodeReadings();
}

bool Scale::loadItems(const QString &path)
{
    const auto content = readTextFile(path);
    if (!content)
        return false;
    setItems(splitTextLines(*content));
    return true;
}

void Scale::BalancaClick(bool ticked)
{
    m_on = ticked;
    m_index = 0;
    emit selectionChanged(0);
    if (ticked)
        decodeReadings();
}

void Scale::cbProtocoloBalancaClick(int index)
{
    if (index < 0)
        return;
    m_index = static_cast<unsigned char>(index);
}

void Scale::clearReadings()
{
    m_readings.clear();
}

void Scale::decodeReadings()
{
    bool replaced = false;
    m_readings.clear();
    m_readings.reserve(m_items.size());
    for (QByteArray &item : m_items) {
        auto reading = decodeScaleReading(item);
        if (!reading) {
            replaced = replaced || item != kScaleErrorText;
            item = kScaleErrorText;
            reading = kScaleErrorText;
        }
        m_readings.append(*reading);
    }
    if (replaced)
        emit itemsChanged();
}

void Scale::answerEnq()
{
    if (!m_on || m_state.comPortBoxTicked)
        return;
    // Nothing decoded (empty "Balanca.txt", or the window was left and shown
    // again without a new click on the box): there is no reading to give.
    if (m_readings.isEmpty())
        return;
    // An index chosen past the decoded list starts again at the first reading
    // rather than reading beyond it.
    if (m_index >= m_readings.size())
        m_index = 0;
    const QByteArray reading = m_readings.at(m_index);
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::ScaleReading, m_index, reading);

    // The index is one byte: past 255 the count starts again at 0.
    if (m_index < m_readings.size() - 1)
        m_index = static_cast<unsigned char>(m_index + 1);
    else
        m_index = 0;
    emit selectionChanged(m_index);

    const bool framed = m_state.comutadoraMode && m_state.protocolKind == TerminalState::kZorvane;
    for (const char c : reading) {
        if (framed)
            m_sender.SendToHost(frames::comutadoraData(c, m_state.comutadoraAddress));
        else
            m_sender.SendToHost(QByteArray(1, c));
    }
}
