// The environment store's process-wide state.
#include "fw_env_internal.h"

env_device envdevices[2];
int env_dev_count;
bool env_redundant;
env_store env_state;
const uint8_t env_obsolete_flag = 0;
