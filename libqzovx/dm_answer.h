/* Which received lines are the answer to the authorization request in
 * flight. Plain text work with no socket in it. Library-internal.
 *
 * Answer binding: a DM may start its answer with "REQ_ID=<the request's id>".
 * A line that carries REQ_ID with another value answers some other request
 * (a duplicate, a late or an unasked answer): it is dropped, and the reader
 * goes on waiting for this request's line. A line without REQ_ID is taken as
 * the answer, as from a DM that does not echo the id. The lines that arrived
 * with the answer belong to it (a DM may spread its fields over several
 * lines), except lines naming another request. */
#ifndef QZOVX_DM_ANSWER_H
#define QZOVX_DM_ANSWER_H

#include <stddef.h>

#include <string_view>

struct AnswerLines {
    size_t length;  // bytes of the answer kept at the start of the text
    bool found;     // whether the answer has begun
    int dropped;    // lines dropped because they name another request
};

/* Called for every line dropped as another request's, without its line end. */
using ForeignLine = void (*)(std::string_view line, void *context);

/* Scans `length` bytes of complete lines (the last one ends with a line
 * feed) and moves the lines that answer `req_id` to the start of `text`, in
 * order. An empty req_id binds nothing: every line is kept. */
AnswerLines keep_answer_lines(char *text, size_t length, std::string_view req_id,
                              ForeignLine on_foreign, void *context);

/* The REQ_ID value a line carries, if it carries one where a field starts. */
bool answer_line_req_id(std::string_view line, std::string_view &req_id);

#endif
