#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <curl/curl.h>

#include "server/web_assets.h"

namespace tovel {

// How long a start-page fetch may take to connect and in all before the guide page is served
// instead.
struct PageFetchTimeOuts {
  long connectSeconds = 3;
  long totalSeconds = 5;
};

// Fetches the app site's root page with libcurl's multi interface on one thread of its own,
// "tovel-fetch", so a slow or silent site never holds up the worker pool that makes the picture
// streams' frames. At most kMaximumFetches run at once; a request beyond that, or any request when
// the thread could not be started, gets the guide page at once on the caller's thread. Otherwise
// the completion runs on the fetch thread.
//
// Destroying the fetcher (or stop()) closes every transfer and drops the completions of those
// still pending without calling them: by then the main loop has stopped and nothing could be
// sent anyway, and dropping them releases what they hold (the waiting clients' connections).
class CurlPageFetcher final : public RemotePageFetcher {
public:
  static constexpr std::size_t kMaximumFetches = 4;
  // A remote page larger than this is not a start page; refuse it rather than hold it in memory.
  static constexpr std::size_t kMaximumPage = 8 * 1024 * 1024;

  CurlPageFetcher(std::string appSite, std::string guidePage, PageFetchTimeOuts timeOuts = {});
  ~CurlPageFetcher() override;
  CurlPageFetcher(const CurlPageFetcher&) = delete;
  CurlPageFetcher& operator=(const CurlPageFetcher&) = delete;

  void fetchRemoteContent(std::function<void(std::string)> completion) override;

  // Ends the fetch thread as described above; later fetches get the guide page at once.
  void stop();

private:
  using Completion = std::function<void(std::string)>;

  struct Transfer {
    Completion completion;
    std::string page;
  };

  void run();
  void startTransfer(Completion completion);
  void finishTransfers();
  void complete(Completion& completion, std::string page);
  // After a failure of the multi handle itself: every waiting client gets the guide page.
  void failAll();
  // On stop: transfers end and their completions go uncalled.
  void dropAll();

  const std::string address_;
  const std::string guidePage_;
  const PageFetchTimeOuts timeOuts_;
  CURLM* multi_ = nullptr;

  std::mutex mutex_;
  std::deque<Completion> arrivals_; // accepted, not yet handed to curl
  std::size_t inFlight_ = 0;        // arrivals and transfers together, for the cap
  bool accepting_ = false;
  bool stopping_ = false;

  // Only the fetch thread touches these.
  std::map<CURL*, Transfer> transfers_;

  std::thread thread_;
};

} // namespace tovel
