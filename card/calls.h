// The mark of the card call under way, as the library's start-up needs it.
#ifndef QT741_CARD_CALLS_H
#define QT741_CARD_CALLS_H

// Forgets the call under way and any cancel request. For a process that starts
// as a copy of this one (fork) while another thread was in a call: that thread
// is not in the copy, and its call would otherwise stay under way for ever.
void ForgetCallUnderWay();

#endif
