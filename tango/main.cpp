// ostrel-tango SERVER_INSTANCE [Tango options]: the OstrelSpectrometer device server.
//   with a database:    ostrel-tango lab1 (TANGO_HOST names the database)
//   without one:        ostrel-tango test -nodb -dlist lab/ostrel/1 -ORBendPoint
//   giop:tcp:127.0.0.1:PORT
#include <tango.h>

#include <iostream>

#include "spectrometer_class.h"

// cppTango asks the server for its classes through this one function.
void Tango::DServer::class_factory() {
    add_class(ostrel::tango::SpectrometerClass::init("OstrelSpectrometer"));
}

int main(int argc, char* argv[]) {
    Tango::Util* util = nullptr;
    try {
        util = Tango::Util::init(argc, argv);
        util->server_init(false);
        std::cout << "ostrel-tango: ready to accept requests" << std::endl;
        util->server_run();
    } catch (const std::bad_alloc&) {
        std::cerr << "ostrel-tango: out of memory" << std::endl;
        return 1;
    } catch (const CORBA::Exception& failure) {
        Tango::Except::print_exception(failure);
        std::cerr << "ostrel-tango: the server stopped on the error above" << std::endl;
        return 1;
    }
    if (util != nullptr) {
        util->server_cleanup();
    }
    return 0;
}
