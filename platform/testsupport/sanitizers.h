// Whether the test runs under a sanitizer whose runtime owns the allocator
// (AddressSanitizer, ThreadSanitizer, MemorySanitizer): such a build counts
// allocations through the runtime's hooks and cannot cap its address space.
#ifndef KV_PLATFORM_TESTSUPPORT_SANITIZERS_H
#define KV_PLATFORM_TESTSUPPORT_SANITIZERS_H

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KV_TEST_SANITIZER_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KV_TEST_SANITIZER_ALLOCATOR 1
#endif

#endif
