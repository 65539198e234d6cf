#pragma once

#include "engine/ports.h"
#include "engine/terminal_state.h"

#include <QByteArray>
#include <QList>
#include <QObject>

// The scale attached to the terminal's serial interface.
//
// The reading texts (the design items, or the lines of "Balanca.txt") are kept
// as bytes in the notation of scale_notation.h. Ticking the "Balança" box
// decodes every text into ScaleReadings, replacing texts in error by
// "Erro: <..>". When the host sends ENQ to the serial interface, the output
// side calls answerEnq(), which sends the reading at ScaleIndex one byte per
// send and moves the index (and the list's selection) to the next reading.
class Scale : public QObject, public EnqResponder {
    Q_OBJECT
public:
    Scale(TerminalState &state, HostSender &sender, QObject *parent = nullptr);

    // The texts of cbProtocoloBalanca.
    QList<QByteArray> items() const { return m_items; }
    void setItems(const QList<QByteArray> &items);
    // New reading texts from outside the window: the next reading is the
    // first, and with the box ticked the texts are decoded at once.
    void replaceItems(const QList<QByteArray> &items);
    // "Balanca.txt"; false when missing or unreadable (the current items are kept).
    bool loadItems(const QString &path);

    bool isOn() const { return m_on; }
    void BalancaClick(bool ticked);
    void cbProtocoloBalancaClick(int index);

    unsigned char ScaleIndex() const { return m_index; }
    const QList<QByteArray> &ScaleReadings() const { return m_readings; }
    // Leaving the main window drops the decoded readings; the box and the texts stay.
    void clearReadings();

    void answerEnq() override;

signals:
    void itemsChanged();
    void selectionChanged(int index);

private:
    void decodeReadings();

    TerminalState &m_state;
    HostSender &m_sender;
    QList<QByteArray> m_items;
    QList<QByteArray> m_readings;
    unsigned char m_index = 0;
    bool m_on = false;
};
