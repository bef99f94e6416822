// Every C function of the library holds off a pthread_cancel of its caller
// until it returns: acted on inside, it would unwind through the library's
// locks, workers and children.
#ifndef SEEKWELL_CANCEL_DEFERRED_H
#define SEEKWELL_CANCEL_DEFERRED_H

#include <pthread.h>

namespace seekwell {

class CancelDeferred {
public:
    CancelDeferred() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &callerState_); }
    ~CancelDeferred() { pthread_setcancelstate(callerState_, nullptr); }
    CancelDeferred(const CancelDeferred&) = delete;
    CancelDeferred& operator=(const CancelDeferred&) = delete;

private:
    int callerState_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace seekwell

#endif  // SEEKWELL_CANCEL_DEFERRED_H
