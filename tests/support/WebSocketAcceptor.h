// An in-process WebSocket server for tests: a POCO HTTPServer on a loopback
// port that upgrades every request to a server-side WebSocket and queues the
// sockets for the test, as the js-bridge hands its sockets to another thread.
#pragma once

#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/ThreadPool.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class WebSocketAcceptor {
public:
    // Listens on 127.0.0.1 at a port the system chooses.
    WebSocketAcceptor();
    // Listens on the given socket (already bound and listening).
    explicit WebSocketAcceptor(const Poco::Net::ServerSocket& socket);
    ~WebSocketAcceptor();
    WebSocketAcceptor(const WebSocketAcceptor&) = delete;
    WebSocketAcceptor& operator=(const WebSocketAcceptor&) = delete;

    int port() const;
    // "ws://127.0.0.1:<port>/ws"
    std::string url() const;
    // The next upgraded socket (the caller owns it), or null after timeoutMs.
    Poco::Net::WebSocket* waitForSocket(int timeoutMs);

    // Used by the request handler.
    void push(Poco::Net::WebSocket* socket);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::unique_ptr<Poco::Net::WebSocket>> sockets_;
    Poco::Net::ServerSocket socket_;
    // The server's own threads: the destructor waits for its handlers,
    // which use this object, to end (the process's shared pool would let
    // them run on past it, even past the end of main).
    Poco::ThreadPool threads_{2, 16};
    std::unique_ptr<Poco::Net::HTTPServer> server_;
};

// Opens a client WebSocket to ws://host:port/path with POCO.
Poco::Net::WebSocket* connectPocoWebSocket(const std::string& host, int port, const std::string& path = "/ws");
