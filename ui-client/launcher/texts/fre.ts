<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Initialisation de Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Initialisation de %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive est prêt.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 est prêt.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Finalisation de l'installation... %1 %</translation>
    </message>
</context>
</TS>
