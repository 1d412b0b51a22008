#pragma once

#include "app/frmmain.h"
#include "fakes/fakebrowser.h"
#include "fakes/scripteduiservices.h"

namespace snapvel::test {

// The main window on a fake browser and scripted dialogs, with the start-up
// timer stopped so that no prompt comes unless a test asks for it.
struct FormFixture
{
    FakeBrowser browser;
    ScriptedUiServices ui;
    int endProcessCalls = 0;
    frmMain form{browser, ui, [this] { ++endProcessCalls; }};

    FormFixture() { form.Timer1->stop(); }
};

} // namespace snapvel::test
