#pragma once

#include "engine/terminal_state.h"
#include "inputs/keyboard.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The barcode reader: the code list (the mmCodigo memo, held here as bytes),
// the chosen terminator and the index of the next code.
//
// Each press of "Código de Barras" takes the line at BarcodeLineIndex, appends
// the terminator and types it through the keyboard's SendKeyString (so each
// character is framed like a key and followed by BarcodeCharDelay), then moves
// the index to the next line, wrapping after the last. The list is loaded from
// and saved to "Codigo.txt".
class BarcodeReader {
public:
    static constexpr int kNoTerminator = -1;
    static constexpr int kNenhum = 0;
    static constexpr int kCr = 1;
    static constexpr int kLf = 2;
    static constexpr int kCrLf = 3;

    BarcodeReader(TerminalState &state, Keyboard &keyboard);

    // The memo's text as bytes; lines end with CR LF, CR or LF.
    QList<QByteArray> lines() const;
    void setText(const QByteArray &memoText);
    QByteArray text() const { return m_text; }

    // rgTerminador's item index: -1 none selected, 0 "Nenhum", 1 "CR", 2 "LF", 3 "CR + LF".
    int terminatorIndex() const { return m_terminator; }
    void setTerminatorIndex(int index);
    static QByteArray terminatorBytes(int index);

    unsigned char BarcodeLineIndex() const { return m_lineIndex; }
    void resetForNewWindow();

    Operation btCodigoBarrasClick();
    // Types one code followed by the chosen terminator, as the button does for
    // a line of the list; with no terminator chosen nothing is sent.
    Operation sendCode(QByteArray code);

    // The pause between characters as the editor stores it ("Delai Envio"):
    // becomes BarcodeCharDelay, or throws ConversionError and leaves it as it was.
    void applyDelayText(const QByteArray &edDelaiText);
    int charDelay() const { return m_state.barcodeCharDelay; }

    // "Codigo.txt": false when missing or unreadable (the current list is kept).
    bool loadCodes(const QString &path);
    // Writes the list with CR LF line ends; the file is replaced only once the
    // whole list is written. Throws AppError on failure.
    void saveCodes(const QString &path) const;

private:
    TerminalState &m_state;
    Keyboard &m_keyboard;
    QByteArray m_text = QByteArrayLiteral("1234567890123");
    int m_terminator = kCr;
    unsigned char m_lineIndex = 0;
};
