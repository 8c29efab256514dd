#include "kl7046/io_ring.h"

#include <linux/fs.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

#include "kl7046/interface_view.h"

namespace kl::tools {

namespace {

// A shared mapping of the ring's memory, unmapped when it goes.
class Mapping {
 public:
  Mapping(int fd, std::size_t length, off_t offset)
      : length_(length),
        base_(::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                     offset)) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (valid()) {
      ::munmap(base_, length_);
    }
  }

  [[nodiscard]] bool valid() const { return base_ != MAP_FAILED; }
  template <class T>
  [[nodiscard]] T* at(std::uint32_t offset) const {
    return reinterpret_cast<T*>(static_cast<char*>(base_) + offset);
  }

 private:
  std::size_t length_;
  void* base_;
};

// The queues' head and tail indices are shared with the kernel, ordered as
// the io_uring ABI asks.
std::uint32_t acquire(std::uint32_t* index) {
  return std::atomic_ref<std::uint32_t>(*index).load(std::memory_order_acquire);
}
void release(std::uint32_t* index, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(*index).store(value, std::memory_order_release);
}

}  // namespace

// The ring's descriptor and its submission and completion queues as mapped.
class IoRing::Queues {
 public:
  Queues(OwnedFd fd, const io_uring_params& params)
      : fd_(std::move(fd)),
        queues_(fd_.get(),
                std::max(params.sq_off.array + params.sq_entries * sizeof(std::uint32_t),
                         params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe)),
                IORING_OFF_SQ_RING),
        entries_(fd_.get(), params.sq_entries * sizeof(io_uring_sqe), IORING_OFF_SQES),
        sqTail_(queues_.at<std::uint32_t>(params.sq_off.tail)),
        sqMask_(*queues_.at<std::uint32_t>(params.sq_off.ring_mask)),
        sqArray_(queues_.at<std::uint32_t>(params.sq_off.array)),
        sqes_(entries_.at<io_uring_sqe>(0)),
        cqHead_(queues_.at<std::uint32_t>(params.cq_off.head)),
        cqTail_(queues_.at<std::uint32_t>(params.cq_off.tail)),
        cqMask_(*queues_.at<std::uint32_t>(params.cq_off.ring_mask)),
        cqes_(queues_.at<io_uring_cqe>(params.cq_off.cqes)) {}

  [[nodiscard]] bool valid() const { return queues_.valid() && entries_.valid(); }

  io_uring_sqe& next() {
    const std::uint32_t index = (*sqTail_ + queued_) & sqMask_;
    sqArray_[index] = index;
    ++queued_;
    return sqes_[index] = io_uring_sqe{};
  }

  void submit(std::span<std::int32_t> results) {
    release(sqTail_, *sqTail_ + queued_);
    std::uint32_t unsubmitted = queued_;
    std::uint32_t outstanding = queued_;
    queued_ = 0;
    while (outstanding > 0) {
      const long submitted = ::syscall(__NR_io_uring_enter, fd_.get(), unsubmitted, outstanding,
                                       IORING_ENTER_GETEVENTS, nullptr, 0);
      if (submitted < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "io_uring_enter");
      }
      unsubmitted -= static_cast<std::uint32_t>(std::max(submitted, 0L));
      const std::uint32_t tail = acquire(cqTail_);
      for (std::uint32_t head = *cqHead_; head != tail; ++head) {
        const io_uring_cqe& completion = cqes_[head & cqMask_];
        results[completion.user_data] = completion.res;
        --outstanding;
      }
      release(cqHead_, tail);
    }
  }

 private:
  OwnedFd fd_;
  Mapping queues_;
  Mapping entries_;
  std::uint32_t* sqTail_;
  std::uint32_t sqMask_;
  std::uint32_t* sqArray_;
  io_uring_sqe* sqes_;
  std::uint32_t* cqHead_;
  std::uint32_t* cqTail_;
  std::uint32_t cqMask_;
  io_uring_cqe* cqes_;
  std::uint32_t queued_ = 0;
};

std::unique_ptr<IoRing> IoRing::open(unsigned entries) {
  io_uring_params params{};
  OwnedFd fd(static_cast<int>(::syscall(__NR_io_uring_setup, entries, &params)));
  if (!fd.valid() || (params.features & IORING_FEAT_SINGLE_MMAP) == 0) {
    return nullptr;
  }
  auto queues = std::make_unique<Queues>(std::move(fd), params);
  return queues->valid() ? std::unique_ptr<IoRing>(new IoRing(std::move(queues))) : nullptr;
}

IoRing::IoRing(std::unique_ptr<Queues> queues) : queues_(std::move(queues)) {}

IoRing::~IoRing() = default;

void IoRing::queueWrite(int fd, std::span<const std::uint8_t> bytes, std::uint32_t tag) {
  io_uring_sqe& entry = queues_->next();
  entry.opcode = IORING_OP_WRITE;
  entry.fd = fd;
  entry.addr = reinterpret_cast<std::uintptr_t>(bytes.data());
  entry.len = static_cast<std::uint32_t>(bytes.size());
  entry.off = ~std::uint64_t{0};  // the file's own position, as write() has it
  entry.user_data = tag;
}

void IoRing::queueRead(int fd, std::span<std::uint8_t> room, std::uint32_t tag) {
  io_uring_sqe& entry = queues_->next();
  entry.opcode = IORING_OP_READ;
  entry.fd = fd;
  entry.addr = reinterpret_cast<std::uintptr_t>(room.data());
  entry.len = static_cast<std::uint32_t>(room.size());
  entry.off = ~std::uint64_t{0};
  // Answered at once, in order: a read that would wait is not left pending
  // to take a later frame ahead of one read after it.
  entry.rw_flags = RWF_NOWAIT;
  entry.user_data = tag;
}

void IoRing::submit(std::span<std::int32_t> results) { queues_->submit(results); }

}  // namespace kl::tools
