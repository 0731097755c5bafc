/* Pellark's native updater: the start-up entry and the JSON request channel.
 *
 * Plain C prototypes, meant to be bound by name (dlsym or an FFI binding generator).
 * Ownership: every text returned by pellark_update_call is allocated by the library with the C
 * allocator and belongs to the caller, who must hand it to pellark_update_free exactly once.
 * Request texts are only read during the call and never kept. The library keeps no state
 * between calls, and pellark_update_call may be called from any thread, concurrently. */
#ifndef PELLARK_UPDATER_H
#define PELLARK_UPDATER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PELLARK_UPDATER_EXPORT __attribute__((visibility("default")))
#else
#define PELLARK_UPDATER_EXPORT
#endif

/* Start-up entry, called once on the main thread before anything else. May end the process
 * (installer hook arguments); otherwise returns, whatever went wrong. */
PELLARK_UPDATER_EXPORT void pellark_update_bootstrap(void);

/* Handles one NUL-terminated UTF-8 JSON request (NULL allowed) and returns a newly allocated
 * NUL-terminated JSON response, never NULL. A successful "install" does not return: the process
 * exits with status 0 after starting the new release. */
PELLARK_UPDATER_EXPORT char* pellark_update_call(const char* request);

/* Releases a response of pellark_update_call. NULL is accepted and does nothing. */
PELLARK_UPDATER_EXPORT void pellark_update_free(char* response);

#ifdef __cplusplus
}
#endif

#endif /* PELLARK_UPDATER_H */
