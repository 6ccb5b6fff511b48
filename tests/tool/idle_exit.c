/* idle_exit.c: an exit library that answers every call with "go on" and
 * never signs anything on: what the tarvelo program must not mistake for a
 * sign-on nor for a refusal. */
#include "exit/tarvelo.h"

#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
void IDLE(tarvelo_exit_params *params, const tarvelo_channel_def *channel, int32_t *data_length,
          int32_t *exchange_length, uint8_t *exchange, int32_t *exit_length, uint8_t **exit_buffer) {
    (void)channel;
    (void)data_length;
    (void)exchange_length;
    (void)exchange;
    (void)exit_length;
    (void)exit_buffer;
    params->exit_response = ZTXCC_OK;
}
