#include "server/curl_page_fetcher.h"

#include <pthread.h>

#include <system_error>

#include "server/utf8.h"

namespace tovel {

namespace {

// The longest the idle thread sleeps between looks at its queue, should a wake-up ever be lost.
constexpr int kIdlePollMilliseconds = 1000;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* page = static_cast<std::string*>(user);
  std::size_t n = size * count;
  if (page->size() + n > CurlPageFetcher::kMaximumPage)
    return 0; // stops the transfer
  page->append(data, n);
  return n;
}

} // namespace

CurlPageFetcher::CurlPageFetcher(std::string appSite, std::string guidePage, PageFetchTimeOuts timeOuts)
    : address_(std::move(appSite) + "/"), guidePage_(std::move(guidePage)), timeOuts_(timeOuts) {
  multi_ = curl_multi_init();
  if (!multi_)
    return; // every start page is the guide page then
  accepting_ = true;
  try {
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "tovel-fetch");
  } catch (const std::system_error&) {
    accepting_ = false;
  }
}

CurlPageFetcher::~CurlPageFetcher() {
  stop();
  if (multi_)
    curl_multi_cleanup(multi_);
}

void CurlPageFetcher::stop() {
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    stopping_ = true;
  }
  if (multi_)
    curl_multi_wakeup(multi_);
  if (thread_.joinable())
    thread_.join();
}

void CurlPageFetcher::fetchRemoteContent(Completion completion) {
  {
    std::lock_guard lock(mutex_);
    if (accepting_ && inFlight_ < kMaximumFetches) {
      arrivals_.push_back(std::move(completion));
      ++inFlight_;
      completion = nullptr;
    }
  }
  if (completion) {
    completion(guidePage_);
    return;
  }
  curl_multi_wakeup(multi_);
}

void CurlPageFetcher::run() {
  for (;;) {
    std::deque<Completion> arrivals;
    {
      std::lock_guard lock(mutex_);
      if (stopping_)
        break;
      arrivals.swap(arrivals_);
    }
    for (Completion& completion : arrivals)
      startTransfer(std::move(completion));
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      failAll();
      return;
    }
    finishTransfers();
    if (curl_multi_poll(multi_, nullptr, 0, kIdlePollMilliseconds, nullptr) != CURLM_OK) {
      failAll();
      return;
    }
  }
  dropAll();
}

void CurlPageFetcher::startTransfer(Completion completion) {
  CURL* easy = curl_easy_init();
  if (!easy) {
    complete(completion, guidePage_);
    return;
  }
  Transfer& transfer = transfers_[easy];
  transfer.completion = std::move(completion);
  curl_easy_setopt(easy, CURLOPT_URL, address_.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeOuts_.connectSeconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeOuts_.totalSeconds);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(kMaximumPage));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer.page);
  // One fetch per start page: nothing is kept open between them.
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  // A name lookup still running at the time-out is abandoned to its resolver thread instead of
  // being waited for here, which would hold up every other fetch.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    Completion refused = std::move(transfer.completion);
    transfers_.erase(easy);
    curl_easy_cleanup(easy);
    complete(refused, guidePage_);
  }
}

void CurlPageFetcher::finishTransfers() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE)
      continue;
    CURL* easy = message->easy_handle;
    CURLcode result = message->data.result;
    auto found = transfers_.find(easy);
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
    if (found == transfers_.end())
      continue;
    Transfer transfer = std::move(found->second);
    transfers_.erase(found);
    // Whatever the site answered is served if it is text, error pages included; a failed or
    // cut-off transfer is not.
    bool usable = result == CURLE_OK && !transfer.page.empty() && isValidUtf8(transfer.page);
    complete(transfer.completion, usable ? std::move(transfer.page) : guidePage_);
  }
}

void CurlPageFetcher::complete(Completion& completion, std::string page) {
  {
    std::lock_guard lock(mutex_);
    --inFlight_;
  }
  completion(std::move(page));
}

void CurlPageFetcher::failAll() {
  std::deque<Completion> arrivals;
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    arrivals.swap(arrivals_);
  }
  for (auto& [easy, transfer] : transfers_) {
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
    complete(transfer.completion, guidePage_);
  }
  transfers_.clear();
  for (Completion& completion : arrivals)
    complete(completion, guidePage_);
}

void CurlPageFetcher::dropAll() {
  for (auto& [easy, transfer] : transfers_) {
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
  }
  transfers_.clear();
  std::deque<Completion> arrivals;
  std::lock_guard lock(mutex_);
  arrivals.swap(arrivals_);
  inFlight_ = 0;
}

} // namespace tovel
