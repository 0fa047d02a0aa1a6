// A connection held in memory, for the tests below the transport: it hands out scripted input,
// keeps what is written to it (a stream read through), and counts closes. With Connected false it
// answers as a connection whose client has gone: no bytes, no peer.
#pragma once
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "server/ServerState.h"

struct TWrite {
  bool IsStream = false;
  bool IsHandleStream = false;  // a stream the transport can send with sendfile
  std::string Data;
};

class TFakeSocket : public TCustomWinSocket {
 public:
  std::string Input;
  std::string Output;          // everything written, in order
  std::vector<TWrite> Writes;  // each write on its own
  std::vector<int> ReadSizes;  // the count asked for by each read
  int Closes = 0;
  bool Connected = true;
  std::string Address = "10.0.0.7";
  int Port = 5151;
  std::string HostName = "client.example";
  std::string LocalAddress = "127.0.0.1";
  std::string LocalHostName = "server";
  int LocalPort = 80;
  std::function<void()> OnWrite;
  // Runs at the first Close of a connected socket, which counts as gone from then on: where a
  // test plays the transport's disconnect event.
  std::function<void()> OnClose;

  int AvailableBytes() override { return Connected ? static_cast<int>(Input.size()) : 0; }
  int ReadBytes(void* buffer, int count) override {
    ReadSizes.push_back(count);
    const int n = std::min<int>(count, static_cast<int>(Input.size()));
    std::memcpy(buffer, Input.data(), static_cast<size_t>(n));
    Input.erase(0, static_cast<size_t>(n));
    return n;
  }
  void WriteText(const std::string& text) override {
    Output += text;
    Writes.push_back({false, false, text});
    if (OnWrite) OnWrite();
  }
  void WriteStream(std::unique_ptr<TStream> stream) override {
    TWrite w{true, dynamic_cast<THandleStream*>(stream.get()) != nullptr, ""};
    if (stream->Size() > (int64_t{1} << 24)) {  // a sparse giant: its size is what matters
      w.Data = "<" + std::to_string(stream->Size()) + " bytes>";
    } else {
      char buf[4096];
      for (int n; (n = stream->Read(buf, sizeof buf)) > 0;)
        w.Data.append(buf, static_cast<size_t>(n));
    }
    Output += w.Data;
    Writes.push_back(std::move(w));
    if (OnWrite) OnWrite();
  }
  void Close() override {
    Closes++;
    if (!Connected || !OnClose) return;
    OnClose();
    Connected = false;
  }
  std::string PeerAddress() override { return Connected ? Address : ""; }
  int PeerPort() override { return Connected ? Port : 0; }
  std::string PeerHostName() override { return Connected ? HostName : ""; }
  std::string OwnAddress() override { return LocalAddress; }
  std::string OwnHostName() override { return LocalHostName; }
  int OwnPort() override { return LocalPort; }
};
