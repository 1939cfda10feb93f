// The wire documents of the protocol's examples, written out by hand so
// that tests compare the library's output with bytes it did not make.
#ifndef KIVREL_TESTS_EXAMPLE_DOCUMENTS_H
#define KIVREL_TESTS_EXAMPLE_DOCUMENTS_H

// A call of "PowerUp" whose argument list holds the integer 1.
constexpr char kExample1[] = "<?xml version=\"1.0\"?>\n"
                             "<method_call>\n"
                             "  <method_name>PowerUp</method_name>\n"
                             "  <method_datalist_arg>\n"
                             "    <datalist>\n"
                             "      <data>\n"
                             "        <int>1</int>\n"
                             "      </data>\n"
                             "    </datalist>\n"
                             "  </method_datalist_arg>\n"
                             "</method_call>\n";
static_assert(sizeof kExample1 - 1 == 216);

// A response whose result list holds 120 and -45.
constexpr char kExample2[] = "<?xml version=\"1.0\"?>\n"
                             "<method_response>\n"
                             "  <method_datalist_ret>\n"
                             "    <datalist>\n"
                             "      <data>\n"
                             "        <int>120</int>\n"
                             "      </data>\n"
                             "      <data>\n"
                             "        <int>-45</int>\n"
                             "      </data>\n"
                             "    </datalist>\n"
                             "  </method_datalist_ret>\n"
                             "</method_response>\n";
static_assert(sizeof kExample2 - 1 == 239);

// A call of "ReadBumperArray" without arguments.
constexpr char kCallWithoutArgs[] = "<?xml version=\"1.0\"?>\n"
                                    "<method_call>\n"
                                    "  <method_name>ReadBumperArray</method_name>\n"
                                    "  <method_datalist_arg/>\n"
                                    "</method_call>\n";
static_assert(sizeof kCallWithoutArgs - 1 == 121);

// A response without a result list.
constexpr char kResponseWithoutResult[] = "<?xml version=\"1.0\"?>\n"
                                          "<method_response>\n"
                                          "  <method_datalist_ret/>\n"
                                          "</method_response>\n";
static_assert(sizeof kResponseWithoutResult - 1 == 84);

#endif
