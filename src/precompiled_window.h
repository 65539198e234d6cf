// The widget headers that the window's files include, compiled once per build
// on top of precompiled.h (see EMULATOR_PCH in the top CMakeLists.txt).
#pragma once

#include "precompiled.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
