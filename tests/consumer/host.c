/*
 * host.c: the least a host does with the installed exit: load it by the
 * path its package gives, find TARVELO by name, and start and end one
 * channel instance through it with the records and codes of tarvelo.h.
 * Prints the header's version and the path, then the exit's own lines.
 */
#include <tarvelo.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    void *library = dlopen(TARVELO_EXIT_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", TARVELO_EXIT_PATH, dlerror());
        return 1;
    }
    tarvelo_entry_fn *entry = NULL;
    *(void **)&entry = dlsym(library, "TARVELO");
    if (entry == NULL) {
        fprintf(stderr, "%s has no entry point TARVELO\n", TARVELO_EXIT_PATH);
        return 1;
    }
    printf("header %s, exit %s\n", TARVELO_VERSION_STRING, TARVELO_EXIT_PATH);
    fflush(stdout);

    tarvelo_exit_params params;
    tarvelo_channel_def channel;
    memset(&params, 0, sizeof params);
    memset(params.exit_data, ' ', sizeof params.exit_data);
    memset(&channel, ' ', sizeof channel);
    memcpy(channel.channel_name, "CONSUMER", 8);
    int32_t data_length = 0;
    int32_t exchange_length = TARVELO_SECURITY_TEXT_LENGTH;
    uint8_t exchange[TARVELO_SECURITY_TEXT_LENGTH];
    int32_t exit_length = 0;
    uint8_t *exit_buffer = NULL;

    params.exit_reason = ZTXR_INIT;
    entry(&params, &channel, &data_length, &exchange_length, exchange, &exit_length, &exit_buffer);
    if (params.exit_response != ZTXCC_OK || params.user_area[0] != ZAVCONN_STARTUP ||
        exit_buffer == NULL || exit_length != TARVELO_EXIT_BUFFER_LENGTH) {
        fprintf(stderr, "the exit did not start the channel\n");
        return 1;
    }
    params.exit_reason = ZTXR_TERM;
    entry(&params, &channel, &data_length, &exchange_length, exchange, &exit_length, &exit_buffer);
    return params.exit_response == ZTXCC_OK ? 0 : 1;
}
