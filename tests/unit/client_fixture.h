// A started client over the fake reader, network and shell: the set-up of
// the link, dialog, reader list and monitor tests.
#pragma once

#include "fakes.h"
#include "fixture.h"
#include "link/address.h"
#include "ui/dialog.h"

class ClientCoreTest : public CoreTest {
protected:
    FakeNetwork network;
    FakeShell shell;

    void SetUp() override {
        CoreTest::SetUp();
        velmora::ClientStart(&shell, &network);
        dialog.host = "localhost";
        dialog.port = "9688";
    }
    void TearDown() override {
        velmora::ClientShutdown();
        velmora::ClientStart(nullptr, nullptr);
        CoreTest::TearDown();
    }

    // Connect pressed, the lookup and the connect completed.
    void ConnectServer() {
        velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
        velmora::HostEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "localhost");
        velmora::ParseNumericHost("127.0.0.1", &entry.address);
        velmora::LinkLookupDone(0, &entry);
        velmora::LinkConnectDone(0);
    }
};
