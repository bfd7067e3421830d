// SPDX-License-Identifier: BSD-3-Clause
/** @file
 * Plug-in models for the flowsheet runner kvoflow.
 *
 * A plug-in is a shared object that holds one unit model and exports one C function,
 *
 *     int kvoblk_plugin_create(const kvoblk_plugin_request* request);
 *
 * The runner opens the shared object named in the flowsheet file's [plugins] table, looks this
 * name up and calls it once per block of the model. The function creates the block as any
 * model does (kvoblk_base_create, the block id, the model's routines in the operation table),
 * gives it its ports (kvoblk_add_port) and answers the block handle. The runner then dimensions,
 * places, connects and solves the block like a built-in one and destroys it with
 * kvoblk_destroy before it closes the shared object.
 *
 * Ports are made without variables: the model's ini routine binds each port variable j (from 0)
 * to one of the positions it has just defined, port->set_var(j, vstart + i). The runner refuses
 * a port left unbound or bound to another block's variables, naming the port.
 *
 * On failure it answers 0 and writes one plain sentence saying why into request->message (at
 * most request->message_size bytes with the terminating zero), for example
 * "parameter duty is missing". It must not throw: no exception may leave the function.
 *
 * The parameters are those of the block's [block.parameters] table, in file order. Whole
 * numbers and true/false arrive as numbers (true = 1); a list of numbers as `list`/`list_size`.
 * The request and everything it points to lives only for the call.
 *
 * Build a plug-in against the installed library, for example
 *
 *     g++ -shared -fPIC -o libmymodel.so mymodel.cpp $(pkg-config --cflags --libs kvoblk)
 *
 * (the runner supplies the host services); a plug-in that makes its ports with the reference
 * host's stream ports adds that host's pkg-config package to the command.
 *
 * and name it in the flowsheet file:  [plugins]  MYMODEL = "libmymodel.so"
 */
#ifndef KVOBLK_KVOPLUGIN_H
#define KVOBLK_KVOPLUGIN_H

#ifdef __cplusplus
extern "C" {
#endif

/** The entry point's name, for dlsym, and the request layout version it is called with. */
/**@{*/
#define KVOBLK_PLUGIN_ENTRY "kvoblk_plugin_create"
#define KVOBLK_PLUGIN_VERSION 1
/**@}*/

/** Marks the entry point for export from the plug-in: from the shared object's dynamic symbols,
    or from the DLL's export table on Windows. */
#if defined(_WIN32)
#define KVOBLK_PLUGIN_EXPORT __declspec(dllexport)
#else
#define KVOBLK_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/** Kinds of parameter value. */
enum { KVOBLK_PARAM_NUMBER = 1, KVOBLK_PARAM_TEXT = 2, KVOBLK_PARAM_LIST = 3 };

/** One parameter of the block, from its [block.parameters] table. */
typedef struct kvoblk_plugin_param {
  const char* name;   /**< the parameter's name */
  int kind;           /**< KVOBLK_PARAM_NUMBER, _TEXT or _LIST */
  double number;      /**< NUMBER */
  const char* text;   /**< TEXT (never null; "" for other kinds) */
  const double* list; /**< LIST */
  int list_size;      /**< LIST: the number of values */
} kvoblk_plugin_param;

/** What the runner hands the entry point for one block. */
typedef struct kvoblk_plugin_request {
  int version;       /**< KVOBLK_PLUGIN_VERSION; a plug-in refuses a version it does not know */
  const char* model; /**< the model name the flowsheet file gives the plug-in */
  const char* id;    /**< the block id */
  int nparams;       /**< the number of parameters */
  const kvoblk_plugin_param* params; /**< the parameters, in file order */
  char* message;                     /**< room for the sentence saying why creation failed */
  int message_size;                  /**< bytes of message, the terminating zero included */
} kvoblk_plugin_request;

/** The entry point's type, for the runner's look-up. */
typedef int (*kvoblk_plugin_create_fn)(const kvoblk_plugin_request* request);

#ifdef __cplusplus
}
#endif

#endif /**< KVOBLK_KVOPLUGIN_H */
