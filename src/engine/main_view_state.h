#pragma once

#include <QObject>
#include <QString>

// The parts of the main window that the host link and the start-up code write
// without owning the window: the two status bar panels and the enabled state of
// "Carrega Arquivo", "Reset Terminal" and "Código de Barras". The main window
// mirrors this object through changed().
class MainViewState : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    const QString &statusPanel0() const { return m_panel0; }
    const QString &statusPanel1() const { return m_panel1; }
    bool connectionButtonsEnabled() const { return m_buttonsEnabled; }

    void setStatusPanels(const QString &panel0, const QString &panel1);
    void setStatusPanel0(const QString &panel0);
    void setConnectionButtonsEnabled(bool enabled);

signals:
    void changed();

private:
    QString m_panel0 = QStringLiteral("Porta:");
    QString m_panel1 = QStringLiteral("IP:");
    bool m_buttonsEnabled = false;
};
