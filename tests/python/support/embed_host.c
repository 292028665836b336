/* An application that embeds Python and starts the interpreter in a thread of
 * its own: embed_host PYTHON CODE [no-signal-handlers] runs CODE with
 * PYTHON's installation, the interpreter installing no signal handlers when
 * asked (as Py_InitializeEx(0) does). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

static char** args;

static void* run(void* unused) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyConfig_SetBytesString(&config, &config.executable, args[1]);
    config.install_signal_handlers = args[3] == NULL;
    Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    int failed = PyRun_SimpleString(args[2]);
    return (void*)(long)(Py_FinalizeEx() < 0 || failed);
}

int main(int argc, char** argv) {
    pthread_t thread;
    void* failed;
    args = argv;
    if (argc < 3 || argc > 4 || pthread_create(&thread, NULL, run, NULL) != 0) return 2;
    pthread_join(thread, &failed);
    return failed != NULL;
}
