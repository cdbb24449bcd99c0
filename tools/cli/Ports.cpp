// list and doctor: the instrument's ports, their lock files, and why an
// instrument cannot be used.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Cli.h"

namespace cli {

namespace {

constexpr unsigned kProbeTimeoutMs = 300;
const char kLockDirectory[] = "/var/lock";
const char* const kRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d",
                                        "/usr/lib/udev/rules.d"};

// One port as list and doctor see it.
struct PortState {
  std::string node;
  int number = -1;
  LockInfo lock;
  bool probed = false;
  int openError = 0;
  Holder holder;  // who holds it, when the open was refused with EBUSY
  Probe probe;
  bool Instrument() const { return probe.Instrument(); }
  bool HeldByHolder() const { return openError == EBUSY && !holder.through.empty(); }
};

// Looks at a port: its lock file, and unless another process holds it, what
// it answers (record-block reads only).
PortState Look(const std::string& node, int number) {
  PortState state;
  state.node = node;
  state.number = number;
  if (number >= 0) state.lock = ReadLock(number);
  const bool held = state.lock.alive && state.lock.pid != getpid();
  const bool incomplete = state.lock.present && !state.lock.readable;
  if (!held && !incomplete) {
    state.probed = true;
    state.probe = ProbePort(node, kProbeTimeoutMs, &state.openError, &state.holder);
  }
  return state;
}

std::string Describe(const PortState& s) {
  if (s.lock.alive && s.lock.pid != getpid())
    return "locked by process " + std::to_string(s.lock.pid) + (s.lock.process.empty() ? "" : " (" + s.lock.process + ")") +
           " through " + LockPath(s.number);
  if (s.lock.present && !s.lock.readable)
    return "locked by an incomplete lock file " + LockPath(s.number) + " (" + std::to_string(s.lock.size) + " bytes)";
  if (s.HeldByHolder()) return "locked by " + s.holder.Text();
  if (s.openError == EBUSY) return "busy (its lock was taken meanwhile)";
  if (s.openError) return std::string("cannot be opened: ") + std::strerror(s.openError);
  if (!s.probe.answered) return "no answer (not the instrument, or it does not respond)";
  if (s.probe.marker == "VRX" && !s.probe.whole) return "answers, but its record block arrives incomplete";
  if (s.probe.marker != "VRX")
    return "answers, but is not the instrument (marker '" + Printable(s.probe.marker) + "')";
  return "instrument " + s.probe.serial + ", firmware " + std::to_string(s.probe.fwMain) + "." +
         std::to_string(s.probe.fwSub);
}

std::string PortJson(const PortState& s) {
  Json json;
  json.Add("node", s.node);
  const bool held = s.lock.alive && s.lock.pid != getpid();
  json.Add("locked", held || (s.lock.present && !s.lock.readable) || s.HeldByHolder());
  if (s.lock.present) json.Add("lock_file", LockPath(s.number));
  if (held) json.Add("holder_pid", s.lock.pid).Add("holder", s.lock.process);
  else if (s.HeldByHolder() && s.holder.pid) json.Add("holder_pid", s.holder.pid).Add("holder", s.holder.process);
  json.Add("instrument", s.Instrument());
  if (s.Instrument())
    json.Add("serial", s.probe.serial).Add("firmware", std::to_string(s.probe.fwMain) + "." + std::to_string(s.probe.fwSub));
  json.Add("state", Describe(s));
  return json.Text();
}

std::vector<PortState> LookAll(const Options& options) {
  std::vector<PortState> ports;
  if (!options.port.empty()) {
    ports.push_back(Look(options.port, NodeNumber(options.port)));
  } else {
    for (int n : PresentNodes()) ports.push_back(Look(NodePath(n), n));
  }
  return ports;
}

// ---- doctor's checks ----

struct Finding {
  bool ok;
  std::string check, detail, fix;
  bool note = false;  // worth knowing, no problem by itself
};

std::string GroupName(gid_t gid) {
  if (const group* g = getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

// Groups whose members get far more than a serial port (root's powers, the
// disks, the memory, the password hashes, every terminal): never the fix.
bool PrivilegedGroup(gid_t gid) {
  if (gid == 0) return true;
  const std::string name = GroupName(gid);
  for (const char* privileged : {"root", "sudo", "wheel", "admin", "adm", "disk", "kmem", "shadow", "tty", "staff"})
    if (name == privileged) return true;
  return false;
}

std::string UserName() {
  if (const passwd* p = getpwuid(geteuid())) return p->pw_name;
  return std::to_string(geteuid());
}

std::string UserGroups() {
  gid_t groups[256];
  int count = getgroups(256, groups);
  std::string text;
  for (int i = 0; i < count; ++i) text += (i ? " " : "") + GroupName(groups[i]);
  return text.empty() ? GroupName(getegid()) : text;
}

bool ProcessRunning(const std::string& name) {
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    if (ProcessName(std::atoi(e->d_name)) == name) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

// A udev rule that names the instrument's USB identity (vendor 04d8,
// product 000a); with `ignoresModem` also whether it keeps ModemManager off.
std::string FindUdevRule(bool* ignoresModem) {
  *ignoresModem = false;
  for (const char* dir : kRuleDirectories) {
    DIR* d = opendir(dir);
    if (!d) continue;
    std::string found;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() < 6 || name.compare(name.size() - 6, 6, ".rules") != 0) continue;
      std::ifstream in(std::string(dir) + "/" + name);
      std::stringstream text;
      text << in.rdbuf();
      std::string lower = text.str();
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower.find("04d8") == std::string::npos || lower.find("000a") == std::string::npos) continue;
      found = std::string(dir) + "/" + name;
      *ignoresModem = lower.find("id_mm_device_ignore") != std::string::npos;
      break;
    }
    closedir(d);
    if (!found.empty()) return found;
  }
  return "";
}

}  // namespace

Probe LookAtNode(int n, std::string* state) {
  const PortState s = Look(NodePath(n), n);
  if (state) *state = Describe(s);
  return s.probe;
}

int CmdList(const Options& options, Args& args) {
  args.Done();
  const std::vector<PortState> ports = LookAll(options);
  bool any = false;
  for (const PortState& s : ports) any = any || s.Instrument();
  if (options.json) {
    std::string list = "[";
    for (size_t i = 0; i < ports.size(); ++i) list += (i ? "," : "") + PortJson(ports[i]);
    Json().AddRaw("ports", list + "]").Print();
  } else if (ports.empty()) {
    std::fprintf(stderr, "zervon: no /dev/ttyACM<N> node: no instrument is plugged in\n");
  } else {
    // A serial number for each instrument, to label a rack by; a port that
    // another process holds is not probed and says so instead.
    std::printf("%-14s %-16s %s\n", "NODE", "SERIAL", "STATE");
    for (const PortState& s : ports) {
      const bool held = (s.lock.alive && s.lock.pid != getpid()) || (s.lock.present && !s.lock.readable) ||
                        s.openError == EBUSY;
      const std::string serial = s.Instrument() ? s.probe.serial : held ? "(held)" : "-";
      const std::string state = s.Instrument() ? "instrument, firmware " + std::to_string(s.probe.fwMain) + "." +
                                                     std::to_string(s.probe.fwSub)
                                               : Describe(s);
      std::printf("%-14s %-16s %s\n", s.node.c_str(), serial.c_str(), state.c_str());
    }
  }
  return any ? kOk : kNoDevice;
}

int CmdDoctor(const Options& options, Args& args) {
  args.Done();
  std::vector<Finding> findings;
  // The lock directory.
  if (::access(kLockDirectory, W_OK | X_OK) != 0)
    findings.push_back({false, "lock directory",
                        std::string(kLockDirectory) + " is not writable for user " + UserName() + ": " +
                            std::strerror(errno) + "; the library cannot lock a port and finds no instrument",
                        "make it writable for everyone, as Debian has it: 'sudo chmod 1777 /run/lock'"});
  else
    findings.push_back({true, "lock directory", std::string(kLockDirectory) + " is writable", ""});

  // Lock files: live, stale or incomplete.
  if (DIR* d = opendir(kLockDirectory)) {
    while (dirent* e = readdir(d)) {
      int n = -1;
      char tail[8] = {};
      if (std::sscanf(e->d_name, "torvanel.ACM%d.%7s", &n, tail) != 2 || std::strcmp(tail, "lock") != 0) continue;
      const LockInfo lock = ReadLock(n);
      const std::string path = LockPath(n);
      if (!lock.present) continue;
      if (!lock.readable)
        findings.push_back({false, "lock " + path,
                            "incomplete (" + std::to_string(lock.size) + " bytes): " + NodePath(n) +
                                " stays refused while it is there",
                            "if no program uses the port: 'sudo rm " + path + "'"});
      else if (lock.alive)
        findings.push_back({false, "lock " + path,
                            NodePath(n) + " is held by process " + std::to_string(lock.pid) +
                                (lock.process.empty() ? "" : " (" + lock.process + ")"),
                            "end that program (or let it release the instrument): 'kill " + std::to_string(lock.pid) + "'"});
      else
        findings.push_back({true, "lock " + path,
                            "stale: process " + std::to_string(lock.pid) +
                                " has ended; the library replaces it at the next connection",
                            ""});
    }
    closedir(d);
  }

  // Looked at after the lock files: a probe replaces a stale lock.
  const std::vector<PortState> ports = LookAll(options);

  // The nodes, and whether this user may open them.
  if (ports.empty()) {
    struct stat st;
    const bool driver = ::stat("/sys/module/cdc_acm", &st) == 0;
    findings.push_back({false, "nodes", "no /dev/ttyACM<N> node exists",
                        driver ? "plug the instrument in (and switch it on); check 'dmesg' for a new ttyACM device"
                               : "plug the instrument in; the kernel's cdc_acm driver is not loaded: 'sudo modprobe cdc_acm'"});
  }
  for (const PortState& s : ports) {
    struct stat st;
    if (::stat(s.node.c_str(), &st) != 0) {
      findings.push_back({false, "node " + s.node, std::string("cannot be looked at: ") + std::strerror(errno),
                          "check the path given with --port"});
      continue;
    }
    if (::access(s.node.c_str(), R_OK | W_OK) != 0) {
      char mode[16];
      std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
      const std::string group = GroupName(st.st_gid);
      const bool groupMayOpen = (st.st_mode & 060) == 060;
      const std::string rule =
          "install the SDK's udev rule 60-zervon.rules (it gives the instrument's port to group plugdev, "
          "mode 0660): the package puts it in /usr/lib/udev/rules.d; after 'cmake --install' copy "
          "<prefix>/lib/udev/rules.d/60-zervon.rules to /etc/udev/rules.d; then 'sudo udevadm control --reload' "
          "and plug the instrument in again";
      std::string fix;
      if (!groupMayOpen || PrivilegedGroup(st.st_gid))
        fix = rule + "; if you are not in group plugdev: 'sudo usermod -aG plugdev $USER' and log in again";
      else
        fix = "add yourself to the group: 'sudo usermod -aG " + group + " $USER' and log in again, or " + rule;
      findings.push_back({false, "permission " + s.node,
                          "user " + UserName() + " may not open it (mode " + mode + ", owner " +
                              (getpwuid(st.st_uid) ? getpwuid(st.st_uid)->pw_name : std::to_string(st.st_uid)) +
                              ", group " + group +
                              (!groupMayOpen ? ": only root may open it"
                                             : PrivilegedGroup(st.st_gid) ? ", a privileged group" : "") +
                              "; your groups: " + UserGroups() + ")",
                          fix});
    } else {
      findings.push_back({true, "permission " + s.node, "user " + UserName() + " may open it", ""});
    }
  }

  // ModemManager and the udev rule.
  bool ignoresModem = false;
  const std::string rule = FindUdevRule(&ignoresModem);
  if (rule.empty())
    findings.push_back({true, "udev rule", "no udev rule for the instrument (USB 04d8:000a) is installed",
                        "install the SDK's udev rule: the package puts 60-zervon.rules in /usr/lib/udev/rules.d; "
                        "after 'cmake --install' copy <prefix>/lib/udev/rules.d/60-zervon.rules to /etc/udev/rules.d; then "
                        "'sudo udevadm control --reload' and plug the instrument in again",
                        true});
  else
    findings.push_back({true, "udev rule", rule + (ignoresModem ? "" : " (it does not set ID_MM_DEVICE_IGNORE)"), ""});
  if (ProcessRunning("ModemManager")) {
    if (rule.empty() || !ignoresModem)
      findings.push_back({false, "ModemManager",
                          "running without a rule that keeps it off the instrument: it probes new ttyACM ports and "
                          "holds them for seconds after plug-in",
                          "install the udev rule (it sets ID_MM_DEVICE_IGNORE), or 'sudo systemctl stop ModemManager'"});
    else
      findings.push_back({true, "ModemManager", "running, kept off the instrument by " + rule, ""});
  } else {
    findings.push_back({true, "ModemManager", "not running", ""});
  }

  // What the free ports answer.
  bool any = false;
  for (const PortState& s : ports) {
    if (!s.probed) continue;  // locked: reported above
    if (s.Instrument()) {
      any = true;
      findings.push_back({true, "instrument " + s.node, Describe(s), ""});
    } else if (s.HeldByHolder()) {
      findings.push_back({false, "instrument " + s.node, Describe(s),
                          s.holder.pid ? "end that program (or let it release the instrument): 'kill " +
                                             std::to_string(s.holder.pid) + "'"
                                       : "end the program that uses the port"});
    } else if (!s.openError || s.openError == EBUSY) {
      findings.push_back({false, "instrument " + s.node, Describe(s),
                          s.probe.answered ? "this is another device; the instrument is elsewhere"
                                           : "unplug the instrument and plug it in again; a battery that is flat "
                                             "also silences it"});
    } else if (s.openError != EACCES) {
      findings.push_back({false, "instrument " + s.node, Describe(s), "plug the instrument in again"});
    }
  }
  if (!any && !ports.empty())
    findings.push_back({false, "instrument", "no port answers as a free instrument", "see the findings above"});

  bool ok = true;
  for (const Finding& f : findings) ok = ok && f.ok;
  if (options.json) {
    std::string list = "[";
    for (size_t i = 0; i < findings.size(); ++i) {
      Json item;
      item.Add("check", findings[i].check).Add("ok", findings[i].ok).Add("detail", findings[i].detail);
      if (findings[i].note) item.Add("note", true);
      if (!findings[i].fix.empty()) item.Add("fix", findings[i].fix);
      list += (i ? "," : "") + item.Text();
    }
    Json().Add("ok", ok).AddRaw("findings", list + "]").Print();
  } else {
    for (const Finding& f : findings) {
      std::printf("%-4s %s: %s\n", !f.ok ? "FAIL" : f.note ? "note" : "ok", f.check.c_str(), f.detail.c_str());
      if (!f.fix.empty()) std::printf("     fix: %s\n", f.fix.c_str());
    }
    std::printf(ok ? "no problem found\n" : "problems found: see the fixes above\n");
  }
  return ok ? kOk : kFailed;
}

}  // namespace cli
