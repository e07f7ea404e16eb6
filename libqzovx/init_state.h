/* Initialisation flags shared by the settings reader and the initialiser.
 * Private to the library. */
#ifndef QZOVX_INIT_STATE_H
#define QZOVX_INIT_STATE_H

#include <atomic>

/* 1 once the library has initialised; read without the send semaphore on
 * the fast path, hence atomic. */
extern std::atomic<int> init_done;
/* 1 while the properties file is being read. */
extern std::atomic<int> init_pending;

#endif
