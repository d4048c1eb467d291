#pragma once
// WaitCursor: the application-wide wait cursor for as long as the object lives. Owned by
// whoever waits (ServerDiscovery while a discovery runs); GUI thread only.

class WaitCursor {
 public:
  WaitCursor();
  ~WaitCursor();
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};
