/* Memory that ends right before an inaccessible page, so that a function that
 * reads or writes one byte past a buffer placed at its end faults at once. */
#ifndef TFX_TESTS_SUPPORT_GUARDEDPAGE_H
#define TFX_TESTS_SUPPORT_GUARDEDPAGE_H

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace tfxtest {

class GuardedPage {
  public:
    GuardedPage()
    {
        size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *pages =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            throw std::runtime_error("mmap of two pages failed");
        base_ = static_cast<char *>(pages);
        if (mprotect(base_ + size_, size_, PROT_NONE) != 0)
            throw std::runtime_error("mprotect of the guard page failed");
    }
    ~GuardedPage() { (void)munmap(base_, 2 * size_); }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;

    /* The last n accessible bytes, filled with bytes. */
    char *Last(size_t n, const char *bytes)
    {
        char *at = base_ + size_ - n;
        memcpy(at, bytes, n);
        return at;
    }

  private:
    char *base_ = nullptr;
    size_t size_ = 0;
};

} // namespace tfxtest

#endif
