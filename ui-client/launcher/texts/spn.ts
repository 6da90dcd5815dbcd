<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive se está inicializando...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 se está inicializando...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive está listo.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 está listo.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>No se pudo actualizar %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 deja de intentar esta actualización por ahora</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 ha apartado archivos que le estorbaban</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>No hay suficiente espacio libre en el disco.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Su cuota de disco se ha agotado.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>El paquete de actualización está dañado.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Hay archivos de otro usuario en medio.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Se ha producido un error inesperado.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>La versión instalada sigue funcionando.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Detalles: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Finalizando la instalación... %1%</translation>
    </message>
</context>
</TS>
