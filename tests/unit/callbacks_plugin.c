/* Loaded at run time by the callback tests and never linked into them: its
 * one function becomes known to the loader only once a test opens it. Its
 * type is that of the server-info callback. */
__attribute__((visibility("default"))) char *cbtest_plugin_info(void);

char *cbtest_plugin_info(void)
{
    static char text[] = "1.plugin";
    return text;
}
