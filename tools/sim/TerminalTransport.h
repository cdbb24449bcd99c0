// The virtual instrument's terminal transport: serves an instrument model
// (InstrumentModel.h) on a pseudo-terminal.
//
// One thread per transport runs a ppoll() loop over the pseudo-terminal's
// master side and a wake-up pipe. Bytes from the host go to the model, which
// frames them into requests, carries each complete request out at once and
// hands back its reply with its timing. Replies leave in order through an
// output queue whose entries may carry an earliest send time (delayed
// replies, the second half of a split reply): the loop sleeps only in
// ppoll(), until the next byte, the next due reply or the next timer
// (incomplete-frame time-out, hang-up grace, restart). An undisturbed reply
// is written with a single write() in the same pass that framed its request;
// under the model's real timing it is due a USB frame later and leaves in
// packets, no packet sooner than a packet gap after the one before it.
//
// The transport also keeps the device's life: the node link, hang-up after
// a grace time, the restart after "FWPU" (under the same node or another,
// with the old node lingering if asked), unplugging and plugging back, and
// finds the processes that hold its terminal open through /proc.
//
// One mutex guards the transport, the model it serves and the wire log it
// records to. The serving thread holds it except while it waits in ppoll()
// or hands events to the event sink; anyone else who touches the model or
// the log takes it with Lock(). The public members take it themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "InstrumentModel.h"
#include "WireLog.h"

namespace zsim {

class TerminalTransport : private InstrumentModel::Output {
 public:
  // Serves `model` and records to `log`; both outlive the transport.
  TerminalTransport(InstrumentModel& model, WireLog& log);
  ~TerminalTransport();  // closes what is still open; Stop() ends the thread first
  TerminalTransport(const TerminalTransport&) = delete;
  TerminalTransport& operator=(const TerminalTransport&) = delete;

  std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(m); }

  // Each does what the VirtualInstrument member of the same name does.
  bool Start();
  void Stop();
  std::string SlavePath() const;
  bool Serving() const;
  int OpenHostPort() const;
  bool Plug(const std::string& node);
  void Unplug();
  bool Replug(const std::string& node);
  std::string NodePath() const;
  std::vector<int> HostPids() const;
  void SetRestartDelayMs(unsigned ms);
  void SetRestartNode(const std::string& node);
  void SetNodeLingerMs(unsigned ms);
  int RestartCount() const;
  bool WaitForRestarts(int count, unsigned timeoutMs) const;
  bool WaitForRequests(size_t count, unsigned timeoutMs) const;
  void SetEventSink(std::function<void(const std::string&)> sink);
  void SetWireTrace(bool on);
  void SetHangupGraceMs(unsigned ms);
  void SetRawTerminal(bool raw);

 private:
  enum class Phase { Off, Serving, HangingUp, Restarting, Unplugged };
  enum class Reason { Restart, Unplug, Stop };

  // One pseudo-terminal: the master side the instrument serves, and a slave
  // descriptor the instrument keeps open itself while it serves. With a slave
  // always open the master never enters the "no slave" hang-up state between
  // two opens by the host, so the poll loop does not spin and no reply is lost.
  // The instrument closes its slave when it starts to hang up.
  struct Terminal {
    int master = -1;
    int slave = -1;
    std::string path;
  };

  // A reply (or the second part of a split reply) waiting to be written.
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t written = 0;
    Clock::time_point notBefore;
    bool continuation = false;  // second part: due `gap` after the first part was written
    std::chrono::milliseconds gap{0};
    bool timed = false;  // the first write of a reply ends its service time
    Clock::time_point frameDone;
    size_t packet = 0;  // Reply::packet, Reply::packetGap
    std::chrono::microseconds packetGap{0};
  };

  static bool OpenTerminal(Terminal& t, std::string& error, bool makeRaw, int reserved = -1);
  bool OpenNext(Terminal& t, std::string& error);

  // InstrumentModel::Output
  void Request(const uint8_t* frame, size_t size, Clock::time_point now) override;
  void Send(Reply reply, Clock::time_point frameDone) override;
  void Restart() override;
  void Note(std::string text) override;

  void Emit(std::unique_lock<std::mutex>& lk);
  void Wake();
  void DrainWake();
  bool Link(std::string& error);
  void Unlink();
  void ResetSession();
  void EndLinger();
  void Adopt(Terminal t);
  void BeginHangup(Reason why);
  void HangUp(Clock::time_point now);
  void Reopen(Clock::time_point now);
  void Run();
  void Advance(Clock::time_point now);
  Clock::time_point NextDeadline() const;
  void ReadInput();
  void Flush();

  mutable std::mutex m;
  mutable std::condition_variable cv;

  InstrumentModel& model;  // framing, instrument state, reply faults
  WireLog& log;

  // ---- terminal, node, thread ----
  Phase phase = Phase::Off;
  Reason reason = Reason::Stop;
  Terminal term;
  // Reserved at a hang-up for the terminal that follows (restart, replug).
  int spareMaster = -1;
  std::string node;
  bool linked = false;
  int wake[2] = {-1, -1};
  std::thread thread;
  bool running = false;
  bool stopRequested = false;
  unsigned graceMs = 100;
  bool rawTerminal = false;  // each new terminal starts raw instead of with the defaults
  unsigned restartDelayMs = kInstantRestartDelayMs;
  Clock::time_point reopenAt;
  std::string restartNode;  // the node a restart comes back under; empty: the same
  // The node of the terminal before a restart, kept for a while (as a
  // re-enumerating USB device's old node can be): its link stays, listed but
  // leading nowhere, as the old terminal is gone. A slave descriptor held on
  // the old terminal keeps its number from being reused meanwhile.
  unsigned lingerMs = 0;
  int lingerSlave = -1;
  std::string lingerNode, lingerPath;
  Clock::time_point lingerUntil;
  Clock::time_point lastReply{};
  int restarts = 0;

  // ---- replies on their way ----
  std::deque<Outgoing> out;
  bool blockedOnWrite = false;
  // Real timing: no packet is written before this (one packet per USB frame).
  Clock::time_point packetFree{};

  // ---- diagnostics ----
  std::function<void(const std::string&)> sink;
  bool trace = false;
  std::vector<std::string> events;  // noted under the lock, handed to the sink without it
};

}  // namespace zsim
