#include "engine/main_view_state.h"

void MainViewState::setStatusPanels(const QString &panel0, const QString &panel1)
{
    m_panel0 = panel0;
    m_panel1 = panel1;
    emit changed();
}

void MainViewState::setStatusPanel0(const QString &panel0)
{
    m_panel0 = panel0;
    emit changed();
}

void MainViewState::setConnectionButtonsEnabled(bool enabled)
{
    m_buttonsEnabled = enabled;
    emit changed();
}
