// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket against a real peer on loopback: a write the peer has
// already refused, and a peer that sends while a modal box is open.
#include "qt/socket_transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace gorvane {
namespace {

using namespace std::chrono_literals;

// A transport that notes its events, and the server end of its connection.
struct Loopback {
  std::vector<std::string> events;
  std::function<void(std::string_view)> onRead = [](std::string_view) {};
  QTcpServer server;
  std::unique_ptr<SocketTransport> transport;
  QTcpSocket* peer = nullptr;

  explicit Loopback(const char* address) {
    EXPECT_TRUE(server.listen(QHostAddress(QString::fromLatin1(address)), 0));
    transport = std::make_unique<SocketTransport>(
        SocketTransport::Events{
            [this] { events.push_back("connect"); }, [this] { events.push_back("disconnect"); },
            [this](std::string_view bytes) { onRead(bytes); },
            [this](SocketErrorKind kind, std::string_view) {
              events.push_back(kind == SocketErrorKind::kSend ? "send error" : "other error");
            },
            [this](const PeerKey&) { events.push_back("encrypted"); }},
        nullptr);
    EXPECT_TRUE(transport->Start(address, server.serverPort()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return transport->active() && server.hasPendingConnections(); }, 5000));
    peer = server.nextPendingConnection();
    events.clear();
  }
  ~Loopback() {
    if (transport) transport->Close();
    if (peer != nullptr) peer->abort();
  }
};

TEST(SocketTransport, AWriteThePeerRefusesIsASendErrorBeforeTheDisconnect) {
  Loopback loop("127.0.0.31");
  ASSERT_NE(loop.peer, nullptr);
  // The peer resets the connection; the client has not looked at its socket
  // since, so it still counts as connected when it writes.
  const linger reset{1, 0};
  ASSERT_EQ(::setsockopt(static_cast<int>(loop.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                         sizeof reset),
            0);
  loop.peer->close();
  loop.peer = nullptr;
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(loop.transport->active());

  loop.transport->Send(std::string("P_DROW 5 *\0", 11));
  EXPECT_EQ(loop.events, (std::vector<std::string>{"send error", "disconnect"}));
  EXPECT_FALSE(loop.transport->active());
}

TEST(SocketTransport, WhileABoxIsOpenInTheReadHandlerTheSocketReadsOnlySoFarAhead) {
  Loopback loop("127.0.0.32");
  ASSERT_NE(loop.peer, nullptr);
  qint64 heldDuringBox = -1;
  bool boxShown = false;
  loop.onRead = [&](std::string_view) {
    if (boxShown) return;
    boxShown = true;
    // What a modal box does: an event loop of its own, inside the handler.
    QEventLoop box;
    QTimer::singleShot(300, &box, &QEventLoop::quit);
    box.exec();
    heldDuringBox = loop.transport->bufferedBytes();
  };
  // Far more than the kernel's socket buffers hold between the two ends.
  loop.peer->write(QByteArray(32 * 1024 * 1024, 'x'));
  EXPECT_TRUE(QTest::qWaitFor([&] { return heldDuringBox >= 0; }, 10000));
  EXPECT_GT(heldDuringBox, 0) << "the peer's bytes kept coming while the box was open";
  EXPECT_LE(heldDuringBox, SocketTransport::kReadAhead);
}

TEST(SocketTransport, DestroyedWhileConnectedItCallsNoEventOfItsOwner) {
  Loopback loop("127.0.0.33");
  ASSERT_NE(loop.peer, nullptr);
  // The owner's handlers are gone before the transport, as a window's
  // members go before its child objects.
  bool ownerGone = false;
  loop.transport = std::make_unique<SocketTransport>(
      SocketTransport::Events{[&] { EXPECT_FALSE(ownerGone); }, [&] { EXPECT_FALSE(ownerGone); },
                              [&](std::string_view) { EXPECT_FALSE(ownerGone); },
                              [&](SocketErrorKind, std::string_view) { EXPECT_FALSE(ownerGone); },
                              [&](const PeerKey&) { EXPECT_FALSE(ownerGone); }},
      nullptr);
  ASSERT_TRUE(loop.transport->Start("127.0.0.33", loop.server.serverPort()));
  ASSERT_TRUE(QTest::qWaitFor([&] { return loop.transport->active(); }, 5000));
  ownerGone = true;
  loop.transport.reset();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace gorvane
