/*
 * partial_driver_lib.cpp: a library that claims to be a driver but lacks
 * driver_main_loop (and the rest), for the missing-entry test.
 */
extern "C" __attribute__((visibility("default"))) int
driver_init(int, char **, int, void *)
{
    return 0;
}
