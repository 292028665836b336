/* An application that embeds Python and starts the interpreter in a thread of
 * its own: embed_host PYTHON CODE runs CODE with PYTHON's installation. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

static char** args;

static void* run(void* unused) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyConfig_SetBytesString(&config, &config.executable, args[1]);
    Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    int failed = PyRun_SimpleString(args[2]);
    return (void*)(long)(Py_FinalizeEx() < 0 || failed);
}

int main(int argc, char** argv) {
    pthread_t thread;
    void* failed;
    args = argv;
    if (argc != 3 || pthread_create(&thread, NULL, run, NULL) != 0) return 2;
    pthread_join(thread, &failed);
    return failed != NULL;
}
