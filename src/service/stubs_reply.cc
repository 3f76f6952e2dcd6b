// Temporary stand-ins until the reply writers land.
#include "service/service.h"
void reply_positive(const char*, ...) {}
void reply_negative(const char*, ...) {}
int negative_sent() { return 0; }
void clear_negative_sent() {}
