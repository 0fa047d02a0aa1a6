// The connection records.
#include "server/ServerState.h"

#include <charconv>
#include <new>

namespace {

// The bits of a slot's RecordState.
constexpr uint8_t kListed = 1;        // between Add and Remove
constexpr uint8_t kAddressKnown = 2;  // RemoteAddr is RecordAddress in dotted form, not empty
constexpr uint8_t kPortKnown = 4;     // RemotePort is RecordPort in decimal, not empty
constexpr uint8_t kLastWasLF = 8;
// Spare records kept for reuse; a few dozen cover the connections of one busy turn.
constexpr size_t kSpareRecords = 64;

// A decimal number of at most maxDigits digits, without leading zeros, at most max; advances at.
bool TakeNumber(const std::string& text, size_t& at, size_t maxDigits, uint32_t max,
                uint32_t& value) {
  const size_t from = at;
  value = 0;
  while (at < text.size() && at - from < maxDigits && text[at] >= '0' && text[at] <= '9')
    value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
  const size_t digits = at - from;
  return digits > 0 && (digits == 1 || text[from] != '0') && value <= max;
}

// An address text as four numbers, when the dotted form of those numbers gives the same text
// back; the empty text is known as such.
bool EncodeAddress(const std::string& text, uint32_t& address, bool& known) {
  known = !text.empty();
  address = 0;
  if (!known) return true;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    uint32_t value = 0;
    if (!TakeNumber(text, at, 3, 255, value)) return false;
    address = address << 8 | value;
  }
  return at == text.size();
}

bool EncodePort(const std::string& text, uint16_t& port, bool& known) {
  known = !text.empty();
  port = 0;
  if (!known) return true;
  size_t at = 0;
  uint32_t value = 0;
  if (!TakeNumber(text, at, 5, 65535, value) || at != text.size()) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

void AssignAddressText(std::string& text, uint32_t address) {
  char buf[16];
  size_t at = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) buf[at++] = '.';
    const uint32_t part = address >> shift & 0xff;
    if (part >= 100) buf[at++] = static_cast<char>('0' + part / 100);
    if (part >= 10) buf[at++] = static_cast<char>('0' + part / 10 % 10);
    buf[at++] = static_cast<char>('0' + part % 10);
  }
  text.assign(buf, at);
}

void AssignPortText(std::string& text, uint16_t port) {
  char buf[8];
  char* end = std::to_chars(buf, buf + sizeof buf, port).ptr;
  text.assign(buf, static_cast<size_t>(end - buf));
}

template <typename T>
void Release(T& value) {
  T().swap(value);
}

void ClearString(std::string& s, bool keep) {
  if (keep && s.capacity() <= kKeptRequestBytes)
    s.clear();
  else
    Release(s);
}

// Keeps the address and port in the slot; false when the texts have no raw form that gives them
// back exactly.
bool Encode(TCustomWinSocket* socket, const std::string& remoteAddr,
            const std::string& remotePort) {
  uint32_t address = 0;
  uint16_t port = 0;
  bool addressKnown = false;
  bool portKnown = false;
  if (!EncodeAddress(remoteAddr, address, addressKnown) || !EncodePort(remotePort, port, portKnown))
    return false;
  socket->RecordAddress = address;
  socket->RecordPort = port;
  socket->RecordState =
      static_cast<uint8_t>((socket->RecordState & ~(kAddressKnown | kPortKnown)) |
                           (addressKnown ? kAddressKnown : 0) | (portKnown ? kPortKnown : 0));
  return true;
}

}  // namespace

void ClearRequestFields(mParser& p) {
  // Swapping with an empty object gives the memory back; clear() keeps the capacity.
  const bool keep = p.HeaderText.capacity() <= kKeptRequestBytes;
  ClearString(p.HeaderText, keep);
  ClearString(p.Body, true);
  p.BodyHeld.Set(0);
  p.BodyFile.Reset();
  p.BodySpillFailed = false;
  p.LastWasLF = false;
  p.RequestComplete = false;
  p.HeadersComplete = false;
  p.IsCGI = false;
  p.InCGIDir = false;
  p.HeaderLength = 0;
  p.BodyLength = 0;
  p.ContentLength = 0;
  p.FirstHeaderEntry = 0;
  p.StatusCode = 0;
  p.IsExe = 0;
  ClearString(p.Method, keep);
  ClearString(p.URI, keep);
  ClearString(p.Protocol, keep);
  ClearString(p.LastModified, keep);
  ClearString(p.LocalPath, keep);
  ClearString(p.QueryString, keep);
  ClearString(p.ExeApp, keep);
  if (keep)
    p.Variables.clear();
  else
    Release(p.Variables);
}

namespace {
int64_t gHeldBodyBytes = 0;  // one thread serves every connection
}  // namespace

int64_t HeldBodyBytes() { return gHeldBodyBytes; }

void THeldBytes::Set(int64_t bytes) {
  gHeldBodyBytes += bytes - FBytes;
  FBytes = bytes;
}

mParserList::mParserList() { FSpare.reserve(kSpareRecords); }

mParser* mParserList::Find(TCustomWinSocket* socket) {
  const uint8_t state = socket->RecordState;
  if (!(state & kListed)) return nullptr;
  if (mParser* p = socket->Record.get(); p && !p->Dead) return p;
  try {
    std::unique_ptr<mParser> p;
    if (!FSpare.empty()) {
      p = std::move(FSpare.back());
      FSpare.pop_back();
    } else {
      p = std::make_unique<mParser>();
    }
    p->Socket = socket;
    if (state & kAddressKnown) AssignAddressText(p->RemoteAddr, socket->RecordAddress);
    if (state & kPortKnown) AssignPortText(p->RemotePort, socket->RecordPort);
    p->LastWasLF = (state & kLastWasLF) != 0;
    socket->Record = std::move(p);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return socket->Record.get();
}

mParser* mParserList::Add(TCustomWinSocket* socket) {
  if (socket->RecordState & kListed) return Find(socket);
  socket->RecordState = kListed;
  ++FCount;
  mParser* p = Find(socket);
  if (!p) {
    socket->RecordState = 0;
    --FCount;
  }
  return p;
}

bool mParserList::Add(TCustomWinSocket* socket, const std::string& remoteAddr,
                      const std::string& remotePort) {
  const bool wasListed = (socket->RecordState & kListed) != 0;
  if (!wasListed) {
    socket->RecordState = kListed;
    ++FCount;
  }
  mParser* live = socket->Record && !socket->Record->Dead ? socket->Record.get() : nullptr;
  if (Encode(socket, remoteAddr, remotePort) && !live) return true;
  // Texts without an exact raw form stay in a record made for them now.
  mParser* p = Find(socket);
  if (!p) {
    if (!wasListed) {
      socket->RecordState = 0;
      --FCount;
    }
    return false;
  }
  p->RemoteAddr = remoteAddr;
  p->RemotePort = remotePort;
  return true;
}

void mParserList::Remove(TCustomWinSocket* socket) {
  if (!(socket->RecordState & kListed)) return;
  socket->RecordState = 0;
  --FCount;
  if (socket->Record) socket->Record->Dead = true;
}

void mParserList::Release(TCustomWinSocket* socket) {
  mParser* p = socket->Record.get();
  if (!p || p->Dead || !(socket->RecordState & kListed)) return;
  if (p->HeaderLength != 0 || p->HeadersComplete || p->RequestComplete || p->CloseConnection ||
      p->StatusCode != 0 || !p->Unscanned.empty())
    return;
  if (!Encode(socket, p->RemoteAddr, p->RemotePort)) return;
  socket->RecordState =
      static_cast<uint8_t>((socket->RecordState & ~kLastWasLF) | (p->LastWasLF ? kLastWasLF : 0));
  std::unique_ptr<mParser> spare = std::move(socket->Record);
  if (FSpare.size() < kSpareRecords) {
    // Back to the state of a new record; it keeps only its buffers.
    ClearRequestFields(*spare);
    spare->Socket = nullptr;
    spare->RemoteAddr.clear();
    spare->RemotePort.clear();
    spare->CloseConnection = false;
    spare->Version = 0;
    FSpare.push_back(std::move(spare));  // room reserved: never throws
  }
}
