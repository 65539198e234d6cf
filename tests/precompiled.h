// The program's common headers and the test framework's, compiled once for
// every test program (see EMULATOR_PCH in the top CMakeLists.txt).
#pragma once

#include "precompiled.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
