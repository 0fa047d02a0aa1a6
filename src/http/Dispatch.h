// Answering one parsed request.
#pragma once

class TServerState;
struct mParser;

// Decides the answer, writes its head and sends both; a request that waits for its program is
// answered the same way once the program has ended.
void DispatchRequest(TServerState& Server, mParser* p);
