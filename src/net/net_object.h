// The common root of the socket classes: a virtual destructor and nothing else.
#pragma once

namespace ostrel::net {

class NetObject {
 public:
  virtual ~NetObject() = default;

  NetObject(const NetObject&) = delete;
  NetObject& operator=(const NetObject&) = delete;

 protected:
  NetObject() = default;
};

}  // namespace ostrel::net
