// The connection records.
#include "server/ServerState.h"

#include <new>

mParserList::~mParserList() {
  for (mParser* p : FItems) delete p;
}

mParser* mParserList::Find(TCustomWinSocket* socket) {
  for (mParser* p : FItems)
    if (p->Socket == socket) return p;
  return nullptr;
}

mParser* mParserList::Add(TCustomWinSocket* socket) {
  if (mParser* p = Find(socket)) return p;
  try {
    FItems.reserve(FItems.size() + 1);
    auto* p = new mParser;
    p->Socket = socket;
    FItems.push_back(p);
    return p;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void mParserList::Remove(TCustomWinSocket* socket) {
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i]->Socket == socket) {
      delete FItems[i];
      FItems.erase(FItems.begin() + static_cast<long>(i));
      if (FItems.empty()) FItems.shrink_to_fit();
      return;
    }
  }
}
