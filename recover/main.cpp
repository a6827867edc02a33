#include "recover/recover_context.h"
#include "recover/recovery.h"

int main(int argc, char** argv) {
    static RecoverContext ctx;
    return runRecovery(ctx, argc, argv);
}
