// The connection records.
#include "server/ServerState.h"

#include <algorithm>
#include <new>

mParser* mParserList::Find(TCustomWinSocket* socket) {
  mParser* p = socket->Record.get();
  return p && !p->Dead ? p : nullptr;
}

mParser* mParserList::Add(TCustomWinSocket* socket) {
  if (mParser* p = Find(socket)) return p;
  try {
    FItems.reserve(FItems.size() + 1);
    socket->Record = std::make_unique<mParser>();
    socket->Record->Socket = socket;
    FItems.push_back(socket->Record.get());
    return socket->Record.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void mParserList::Remove(TCustomWinSocket* socket) {
  mParser* p = Find(socket);
  if (!p) return;
  p->Dead = true;
  FItems.erase(std::find(FItems.begin(), FItems.end(), p));
  if (FItems.empty()) FItems.shrink_to_fit();
}
