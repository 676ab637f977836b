// The SSH client's module state: the object, its initialisation, and its traverse and clear.
#include "state.hpp"

namespace tarn::ssh {

State st;

namespace {

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

}  // namespace

int init_state() noexcept {
#define TARN_SSH_INIT(field, init) \
    st.field.set(init);            \
    if (!st.field) return -1;
    TARN_SSH_STATE(TARN_SSH_INIT)
#undef TARN_SSH_INIT
    return 0;
}

TARN_DEFINE_STATE_GC(TARN_SSH_STATE, st, traverse_state, clear_state)

}  // namespace tarn::ssh
