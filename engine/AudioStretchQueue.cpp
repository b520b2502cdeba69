#include "engine/AudioStretchQueue.h"

#include <algorithm>

namespace vr {

AudioStretchQueue::AudioStretchQueue(Analysis analysis, const std::string& path, FileHandle& own, unsigned workers,
                                     size_t maxWaiting)
    : analysis_(std::move(analysis)), own_(own), maxWaiting_(std::max<size_t>(maxWaiting, 1)) {
  // Every handle is opened before any thread starts: the vector must not move later.
  handles_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    FileHandle handle = FileHandle::openForReading(path);
    if (!handle.isOpen()) break;
    handles_.push_back(std::move(handle));
  }
  threads_.reserve(handles_.size());
  for (FileHandle& handle : handles_) threads_.emplace_back([this, &handle] { work(handle); });
}

AudioStretchQueue::~AudioStretchQueue() {
  {
    std::lock_guard<std::mutex> lock(m_);
    shuttingDown_ = true;
    waiting_.clear();
  }
  jobAdded_.notify_all();
  jobStarted_.notify_all();
  for (std::thread& t : threads_) t.join();
}

unsigned AudioStretchQueue::defaultWorkers() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

size_t AudioStretchQueue::submit(uint64_t offset, uint64_t size, std::optional<SampleList> known) {
  std::unique_lock<std::mutex> lock(m_);
  const size_t ticket = nextTicket_++;
  results_.emplace_back();
  if (known) {
    slot(ticket) = Result{true, false, std::move(known), nullptr};
    return ticket;
  }
  if (threads_.empty()) {
    // No worker: the stretch is analysed here and now.
    lock.unlock();
    Result result = analyse(own_, offset, size);
    lock.lock();
    slot(ticket) = std::move(result);
    return ticket;
  }
  jobStarted_.wait(lock, [this] { return waiting_.size() < maxWaiting_ || shuttingDown_; });
  waiting_.push_back(Job{ticket, offset, size});
  lock.unlock();
  jobAdded_.notify_one();
  return ticket;
}

bool AudioStretchQueue::ready(size_t ticket) {
  std::lock_guard<std::mutex> lock(m_);
  return ticket >= firstKept_ && ticket < nextTicket_ && slot(ticket).done;
}

std::optional<SampleList> AudioStretchQueue::take(size_t ticket) {
  std::unique_lock<std::mutex> lock(m_);
  if (ticket < firstKept_ || ticket >= nextTicket_) return std::nullopt;
  jobDone_.wait(lock, [&] { return slot(ticket).done; });
  if (slot(ticket).taken) return std::nullopt;
  Result result = std::move(slot(ticket));
  slot(ticket) = Result{true, true, std::nullopt, nullptr};
  // Slots taken at the front are released.
  while (!results_.empty() && results_.front().taken) {
    results_.pop_front();
    ++firstKept_;
  }
  lock.unlock();
  if (result.error) std::rethrow_exception(result.error);
  return std::move(result.frames);
}

AudioStretchQueue::Result AudioStretchQueue::analyse(FileHandle& handle, uint64_t offset, uint64_t size) {
  Result result;
  try {
    result.frames = analysis_(handle, offset, size);
  } catch (...) {
    result.error = std::current_exception();
  }
  result.done = true;
  return result;
}

void AudioStretchQueue::work(FileHandle& handle) {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    jobAdded_.wait(lock, [this] { return !waiting_.empty() || shuttingDown_; });
    if (shuttingDown_) return;
    const Job job = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    jobStarted_.notify_one();

    Result result = analyse(handle, job.offset, job.size);
    lock.lock();
    slot(job.ticket) = std::move(result);
    jobDone_.notify_all();
  }
}

}  // namespace vr
