/* The holds on the host's send and receive semaphores around one DM exchange.
 * Library-internal. Taken in the order send, receive; given back in the same
 * order, once, and only when taken. */
#ifndef QZOVX_EXCHANGE_HOLD_H
#define QZOVX_EXCHANGE_HOLD_H

struct ExchangeHold {
    void *send = nullptr;  // semaphore handles from the host
    void *recv = nullptr;
    bool send_held = false;
    bool recv_held = false;

    ExchangeHold() = default;
    ExchangeHold(const ExchangeHold &) = delete;
    ExchangeHold &operator=(const ExchangeHold &) = delete;
    ~ExchangeHold() { release(); }

    /* Waits for the send semaphore; false when the hold was not obtained. */
    bool take_send();
    /* Waits for the receive semaphore; false when the hold was not obtained. */
    bool take_recv();
    /* Gives back the send and then the receive semaphore, those held. */
    void release();
};

/* How long a semaphore wait may take: sock_timeout seconds in milliseconds,
 * kept within the range of an int. */
int semaphore_timeout_ms();

#endif
