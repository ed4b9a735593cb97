#include "server/ThreadHandle.h"

#include <system_error>
#include <utility>

namespace {

// Owner of a thread attribute block.
class CThreadAttributes {
 public:
  CThreadAttributes() { m_nError = ::pthread_attr_init(&m_attr); }
  ~CThreadAttributes() {
    if (m_nError == 0) ::pthread_attr_destroy(&m_attr);
  }
  CThreadAttributes(const CThreadAttributes&) = delete;
  CThreadAttributes& operator=(const CThreadAttributes&) = delete;
  int Error() const { return m_nError; }
  pthread_attr_t* Get() { return &m_attr; }

 private:
  pthread_attr_t m_attr;
  int m_nError;
};

}  // namespace

CThreadHandle::CThreadHandle(std::function<void()> fn, std::size_t nStackSize) {
  auto state = std::make_shared<State>();
  state->fn = std::move(fn);
  CThreadAttributes attributes;
  int nError = attributes.Error();
  if (nError == 0 && nStackSize > 0) nError = ::pthread_attr_setstacksize(attributes.Get(), nStackSize);
  // The new thread holds its own reference to the state, released as it ends.
  auto pThreadState = std::make_unique<std::shared_ptr<State>>(state);
  if (nError == 0) nError = ::pthread_create(&m_id, attributes.Get(), &CThreadHandle::Start, pThreadState.get());
  if (nError != 0) throw std::system_error(nError, std::generic_category(), "pthread_create");
  pThreadState.release();  // the thread's now
  m_state = std::move(state);
}

void* CThreadHandle::Start(void* pState) {
  const std::shared_ptr<State> state = [pState] {
    const std::unique_ptr<std::shared_ptr<State>> pOwned(static_cast<std::shared_ptr<State>*>(pState));
    return std::move(*pOwned);
  }();
  state->fn();
  state->fn = nullptr;
  std::lock_guard<std::mutex> lock(state->mutex);
  state->bEnded = true;
  state->cv.notify_all();
  return nullptr;
}

CThreadHandle::CThreadHandle(CThreadHandle&& other) noexcept : m_state(std::move(other.m_state)), m_id(other.m_id) {}

CThreadHandle& CThreadHandle::operator=(CThreadHandle&& other) noexcept {
  if (this != &other) {
    Join();
    m_state = std::move(other.m_state);
    m_id = other.m_id;
  }
  return *this;
}

bool CThreadHandle::WaitUntil(Clock::time_point deadline) {
  if (!m_state) return true;
  {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->cv.wait_until(lock, deadline, [this] { return m_state->bEnded; })) return false;
  }
  ::pthread_join(m_id, nullptr);
  m_state.reset();
  return true;
}

void CThreadHandle::Join() {
  if (!m_state) return;
  ::pthread_join(m_id, nullptr);
  m_state.reset();
}
