#pragma once

#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QtTest>

#include <memory>

// Base of the window tests: the program's message handler throughout, and
// for each test function a fresh working directory with the database as
// start-up leaves it and a recorder for the modal boxes.
class WindowTestCase : public QObject
{
    Q_OBJECT
protected:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_boxes;

protected slots:
    void initTestCase() { installTestMessageHandler(); }
    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        QVERIFY(openTestDatabase());
        m_boxes = std::make_unique<ModalRecorder>();
    }
    void cleanup()
    {
        // A box still waiting belongs to this test, not to the next.
        QTRY_COMPARE(Startup::boxesWaiting(), 0);
        m_boxes.reset();
        closeTestDatabase();
        m_dir.reset();
    }
};
