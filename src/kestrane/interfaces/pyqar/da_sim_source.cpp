// The built-in OPC DA simulation.
