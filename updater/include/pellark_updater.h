/* Pellark's native updater: the start-up entry and the JSON request channel. */
#ifndef PELLARK_UPDATER_H
#define PELLARK_UPDATER_H

#ifdef __cplusplus
extern "C" {
#endif

#define PELLARK_UPDATER_EXPORT __attribute__((visibility("default")))

PELLARK_UPDATER_EXPORT void pellark_update_bootstrap(void);
PELLARK_UPDATER_EXPORT char* pellark_update_call(const char* request);
PELLARK_UPDATER_EXPORT void pellark_update_free(char* response);

#ifdef __cplusplus
}
#endif

#endif
