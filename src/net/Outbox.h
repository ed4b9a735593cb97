#pragma once
// Uploads kept on disk until the upload service has taken them, so that a
// pupil's recording outlives a network that is down, a proxy that refuses
// and a service that fails. One file per upload, in a directory beside the
// cache ($APPDATA/quillby/outbox), named "<12-digit sequence>-<pid>.upload";
// the sequence orders them, oldest first:
//
//   quillby-upload 1 <uid size> <tid size> <english size> <recording size, -1 for none>\n
//   <uid><tid><english><recording bytes><crc32 of the four, 8 lower-case hex digits>\n
//
// Sizes are decimal byte counts; the values are the movie's bytes as they
// stand. An entry is written beside its place, synced and renamed into it,
// so after a crash it is whole or absent, and it is never changed after.
// One the service refused goes to "refused/" below the directory and stays
// there. A sender holds an advisory lock (flock) on the entry while it
// sends it, so two senders, in one program or two, never send it twice.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/SendData.h"
#include "net/Upload.h"

class COutbox {
 public:
  enum class EOutcome {
    Delivered,  // the service answered 2xx: removed
    Refused,    // a 4xx other than 407, 408 and 429: moved to refused/
    Failed,     // no answer, or another status: kept for the next time
    Skipped,    // another sender has it, it is gone, or it is damaged
  };

  static constexpr std::size_t kMaxEntries = 500;
  static constexpr std::uint64_t kMaxBytes = 200ull * 1024 * 1024;
  // The largest uid, tid and English flag kept; a movie's call is smaller.
  static constexpr std::size_t kMaxFieldSize = 1 << 20;
  static constexpr const char* kRefusedSubdir = "refused";

  // settings are those of every send; a stop flag in them is replaced by
  // the outbox's own.
  explicit COutbox(std::string strDir, const CUploadSettings& settings = {});
  COutbox(const COutbox&) = delete;
  COutbox& operator=(const COutbox&) = delete;
  // Stops, and waits for the worker to end.
  ~COutbox();

  const std::string& GetDir() const { return m_strDir; }
  const CUploadSettings& GetSettings() const { return m_settings; }

  // Keeps the parameters and the recording file (none when it is missing)
  // as a new entry, on the device, after making room for it. Its path, or
  // empty when it could not be kept; the first such failure of a run is
  // reported on stderr.
  std::string Keep(const UploadParam& param, const std::string& strRecording);
  // Sends the entry once, as the upload it keeps, and files it by the outcome.
  EOutcome Send(const std::string& strEntry);
  // The entries waiting, oldest first.
  std::vector<std::string> Pending() const;

  // Starts the worker: it sends the waiting entries oldest first, now and
  // after each Wake, and ends a pass at the first that fails.
  void Start();
  void Wake();
  // Ends the worker and every send under way at their next check (about a
  // second at most), without waiting; the entries stay as they are.
  void Stop();

  // What an upload's HTTP status (0 for none) means for its entry.
  static EOutcome Judge(long nStatus);

 private:
  void Run();
  std::string Write(const UploadParam& param, const std::string& strRecording, std::string& why);
  void MakeRoom(const std::string& strDir, std::uint64_t nIncoming);
  std::string NextName() const;
  void FileRefused(const std::string& strEntry, std::uint64_t nSize, long nStatus);
  void ReportDamaged(const std::string& strEntry, const std::string& why);

  const std::string m_strDir;
  std::atomic<bool> m_bStop{false};
  CUploadSettings m_settings;
  // Held while an entry is written: names and room are taken one at a time.
  std::mutex m_keepLock;
  // Guards m_bFailureReported and m_damagedReported.
  std::mutex m_reportLock;
  bool m_bFailureReported = false;
  std::set<std::string> m_damagedReported;
  // Guards m_bWanted; m_bStop is set under it too, so the worker never
  // misses a stop.
  std::mutex m_wakeLock;
  std::condition_variable m_wake;
  bool m_bWanted = true;
  std::thread m_worker;
};
