// One client slot's session record.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace korvane {

struct SessionRecord {
  // Strings. contenttype, boundary, agent and tempfile keep their last value
  // across sessions until overwritten.
  std::string contenttype;
  std::string request;
  std::string boundary;
  std::string referer;
  std::string agent;
  std::string peeraddress;
  std::string password;
  std::string username;
  std::string ftpdir;
  std::string tempfile;
  std::string host;  // the Host line's value: where the client reached us

  // The numeric block, reset as a whole at every open and every end.
  struct Block {
    int16_t state = 0;
    int32_t remaining = 0;
    int16_t multipart = 0;
    int32_t partline = 0;
    int32_t filept = 0;
    int32_t infopos = 0;
    int32_t nbytes = 0;
    int16_t keepalive = 0;
    int16_t loggedin = 0;
    int16_t passive = 0;
    int16_t binarytype = 0;
    int16_t datablocked = 0;
    int32_t dataport = 0;
    int32_t pasvport = 0;  // widened: system-chosen ports reach 60999
    int16_t filenum = 0;
    double expires = 0;
    int16_t returnhaspassword = 0;
    int16_t loginfailures = 0;  // refused FTP logins of this session
    // The request is complete and its answer is being made: a client that
    // half-closes now still waits for it (under ModernClients).
    bool answering = false;
    // When the router sent the request on its road (for the round-trip time).
    std::chrono::steady_clock::time_point roadStarted{};
  } n;

  double entered = 0;
  double exitted = 0;
  int16_t success = 0;
};

// HttpState: the values of a record's state.
enum HttpState : int16_t {
  kNoRequest = 0,
  kGetHead = 1,
  kFormHead = 2,
  kFormBody = 3,
  kPutHead = 4,
  kPutBody = 5,
  kMultipartHead = 6,
  kMultipartBody = 7,
};

constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;

}  // namespace korvane
